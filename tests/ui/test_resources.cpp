// The resources as they ended up in the built velmorin.exe: the dialog
// template, the icon and the version block (Windows only).

#include <gtest/gtest.h>

#include <windows.h>

#include <cstring>
#include <fstream>
#include <string>
#include <tuple>
#include <vector>

#include "res/resource.h"
#include "tests/support/program_win32.h"

namespace {

const WORD kGerman = MAKELANGID(LANG_GERMAN, SUBLANG_GERMAN);

// Reads the parts of a template one after the other.
class TemplateReader {
public:
    explicit TemplateReader(const BYTE* pData) : m_pData(pData) {}

    template <typename T>
    T Take()
    {
        T value;
        std::memcpy(&value, m_pData + m_nOffset, sizeof value);
        m_nOffset += sizeof value;
        return value;
    }

    // A zero-terminated UTF-16 text in ASCII.
    std::string Text()
    {
        std::string text;
        for (WORD c = Take<WORD>(); c != 0 && text.size() < 512; c = Take<WORD>())
            text += static_cast<char>(c);
        return text;
    }

    // A text, or an ordinal written as "#n".
    std::string TextOrOrdinal()
    {
        if (*reinterpret_cast<const WORD*>(m_pData + m_nOffset) == 0xFFFF) {
            Take<WORD>();
            return "#" + std::to_string(Take<WORD>());
        }
        return Text();
    }

    void AlignToDword() { m_nOffset = (m_nOffset + 3) & ~static_cast<size_t>(3); }
    void Skip(size_t cb) { m_nOffset += cb; }

private:
    const BYTE* m_pData;
    size_t m_nOffset = 0;
};

struct Item {
    int nId;
    std::string className;
    std::string text;
    short x, y, cx, cy;
    DWORD dwStyle;
    DWORD dwExStyle;
    auto Tied() const { return std::tie(nId, className, text, x, y, cx, cy, dwStyle, dwExStyle); }
};

bool operator==(const Item& a, const Item& b) { return a.Tied() == b.Tied(); }

std::ostream& operator<<(std::ostream& os, const Item& item)
{
    return os << "{id " << item.nId << ", " << item.className << ", \"" << item.text << "\", "
              << item.x << "," << item.y << "," << item.cx << "," << item.cy << ", style 0x"
              << std::hex << item.dwStyle << ", exstyle 0x" << item.dwExStyle << std::dec << "}";
}

// Class ordinals of the system's control classes, by name.
std::string ClassName(const std::string& classOrOrdinal)
{
    if (classOrOrdinal == "#128") return "button";
    if (classOrOrdinal == "#129") return "edit";
    if (classOrOrdinal == "#130") return "static";
    if (classOrOrdinal == "#131") return "listbox";
    std::string lower = classOrOrdinal;
    for (char& c : lower)
        c = static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
    return lower;
}

class Resources : public ::testing::Test {
protected:
    void SetUp() override
    {
        m_hExe = LoadLibraryExA(VELMORIN_EXE, nullptr, LOAD_LIBRARY_AS_DATAFILE);
        ASSERT_NE(nullptr, m_hExe) << "cannot load " << VELMORIN_EXE;
    }

    void TearDown() override { FreeLibrary(m_hExe); }  // fails harmlessly on none

    // The German resource of that type and name, or nullptr.
    const BYTE* German(LPCSTR pszType, LPCSTR pszName) const
    {
        HRSRC hRes = FindResourceExA(m_hExe, pszType, pszName, kGerman);
        return hRes == nullptr ? nullptr : static_cast<const BYTE*>(LockResource(LoadResource(m_hExe, hRes)));
    }

    HMODULE m_hExe = nullptr;
};

TEST_F(Resources, DialogTemplateIsTheMainDialog)
{
    const BYTE* pTemplate = German(MAKEINTRESOURCEA(5) /* RT_DIALOG */, "maindialog");
    ASSERT_NE(nullptr, pTemplate) << "no German template \"maindialog\"";
    TemplateReader r(pTemplate);
    EXPECT_EQ(1, r.Take<WORD>()) << "version";
    EXPECT_EQ(0xFFFF, r.Take<WORD>()) << "not an extended template";
    EXPECT_EQ(0u, r.Take<DWORD>()) << "help id";
    EXPECT_EQ(0u, r.Take<DWORD>()) << "extended style";
    EXPECT_EQ(0x10CC0840u, r.Take<DWORD>()) << "style";
    WORD nItems = r.Take<WORD>();
    for (short nWant : {0, 0, 149, 164})  // x, y, width, height
        EXPECT_EQ(nWant, r.Take<short>());
    EXPECT_EQ("", r.TextOrOrdinal()) << "menu";
    EXPECT_EQ("", r.TextOrOrdinal()) << "class";
    EXPECT_EQ("Velmorin", r.Text());
    EXPECT_EQ(8, r.Take<WORD>()) << "point size";
    EXPECT_EQ(FW_NORMAL, r.Take<WORD>()) << "weight";
    EXPECT_EQ(0, r.Take<BYTE>()) << "italic";
    EXPECT_EQ(1, r.Take<BYTE>()) << "character set";
    EXPECT_EQ("MS Sans Serif", r.Text());

    const DWORD kChild = WS_CHILD | WS_VISIBLE;
    const DWORD kField = kChild | WS_BORDER | WS_TABSTOP | ES_AUTOHSCROLL;
    const DWORD kButton = kChild | BS_PUSHBUTTON | WS_TABSTOP;
    std::vector<Item> expected = {
        {-1, "static", "IP der Gegenstelle:", 7, 8, 74, 10, kChild | SS_LEFT | WS_GROUP, 0},
        {IDC_HOST, "edit", "", 85, 6, 54, 12, kField, 0},
        {-1, "static", "Port der Gegenstelle:", 7, 23, 74, 10, kChild | SS_LEFT | WS_GROUP, 0},
        {IDC_RPORT, "edit", "", 85, 21, 54, 12, kField | ES_RIGHT, WS_EX_RIGHT},
        {-1, "static", "Lokaler Port:", 7, 38, 74, 10, kChild | SS_LEFT | WS_GROUP, 0},
        {IDC_LPORT, "edit", "", 85, 36, 54, 12, kField | ES_RIGHT, WS_EX_RIGHT},
        {IDOK, "button", "Start", 7, 140, 44, 14, kButton, 0},
        {IDC_STOP, "button", "Stop", 51, 140, 44, 14, kButton, 0},
        {IDCANCEL, "button", "Beenden", 95, 140, 44, 14, kButton, 0},
        {IDC_STATUS, "listbox", "", 7, 52, 132, 81,
         kChild | WS_BORDER | WS_VSCROLL | WS_TABSTOP | LBS_NOTIFY | LBS_NOINTEGRALHEIGHT, 0},
    };
    ASSERT_EQ(expected.size(), nItems);
    for (const Item& want : expected) {
        // Each item as the template holds it, read in its order.
        r.AlignToDword();
        r.Take<DWORD>();  // help id
        DWORD dwExStyle = r.Take<DWORD>(), dwStyle = r.Take<DWORD>();
        short x = r.Take<short>(), y = r.Take<short>(), cx = r.Take<short>(), cy = r.Take<short>();
        int nId = static_cast<int>(r.Take<DWORD>());
        std::string className = ClassName(r.TextOrOrdinal()), text = r.TextOrOrdinal();
        r.Skip(r.Take<WORD>());
        EXPECT_EQ(want, (Item{nId, className, text, x, y, cx, cy, dwStyle, dwExStyle}));
    }

    // Without it there is no dialog whose end would post the quit message:
    // a copy of the program whose template is named otherwise ends at once,
    // with exit code 1. The resource directory holds the name in UTF-16.
    std::string exe = test::FileText(VELMORIN_EXE), name("M\0A\0I\0N\0D\0I\0A\0L\0O\0G", 19);
    ASSERT_NE(std::string::npos, exe.find(name));
    exe[exe.find(name)] = 'X';
    std::string copy = std::string(VELMORIN_EXE) + ".nodialog.exe";
    std::ofstream(copy, std::ios::binary) << exe;
    test::Program program;
    DWORD dwExit = 99;
    EXPECT_FALSE(program.Run(copy.c_str()));
    EXPECT_TRUE(program.Ended(test::kTimeout, &dwExit));
    EXPECT_EQ(1u, dwExit);
    DeleteFileA(copy.c_str());
}

TEST_F(Resources, IconIsOne32By32ImageIn16Colours)
{
    const BYTE* pGroup = German(MAKEINTRESOURCEA(14) /* RT_GROUP_ICON */, "VELMORIN");
    ASSERT_NE(nullptr, pGroup) << "no German icon group \"VELMORIN\"";
    TemplateReader r(pGroup);
    EXPECT_EQ(0, r.Take<WORD>());
    EXPECT_EQ(1, r.Take<WORD>()) << "not an icon";
    ASSERT_EQ(1, r.Take<WORD>()) << "images";
    EXPECT_EQ(32, r.Take<BYTE>()) << "width";
    EXPECT_EQ(32, r.Take<BYTE>()) << "height";
    EXPECT_EQ(16, r.Take<BYTE>()) << "colours";
    r.Take<BYTE>();
    EXPECT_EQ(1, r.Take<WORD>()) << "planes";
    EXPECT_EQ(4, r.Take<WORD>()) << "bits per pixel";
    r.Take<DWORD>();
    WORD nImage = r.Take<WORD>();

    const BYTE* pImage = German(MAKEINTRESOURCEA(3) /* RT_ICON */, MAKEINTRESOURCEA(nImage));
    ASSERT_NE(nullptr, pImage);
    BITMAPINFOHEADER header = TemplateReader(pImage).Take<BITMAPINFOHEADER>();
    EXPECT_EQ(32, header.biWidth);
    EXPECT_EQ(64, header.biHeight) << "image and mask";
    EXPECT_EQ(4, header.biBitCount);
}

std::string VersionString(const std::vector<BYTE>& info, const std::string& name)
{
    std::string path = "\\StringFileInfo\\040704b0\\" + name;
    char* pszValue = nullptr;
    UINT cch = 0;
    if (!VerQueryValueA(info.data(), path.c_str(), reinterpret_cast<void**>(&pszValue), &cch))
        return "<missing>";
    return cch == 0 || pszValue == nullptr ? "" : std::string(pszValue);
}

TEST_F(Resources, VersionBlockNamesTheProgram)
{
    ASSERT_NE(nullptr, German(MAKEINTRESOURCEA(16) /* RT_VERSION */, MAKEINTRESOURCEA(1)))
        << "no German version block";
    DWORD cbInfo = GetFileVersionInfoSizeA(VELMORIN_EXE, nullptr);
    ASSERT_NE(0u, cbInfo);
    std::vector<BYTE> info(cbInfo);
    ASSERT_TRUE(GetFileVersionInfoA(VELMORIN_EXE, 0, cbInfo, info.data()));

    VS_FIXEDFILEINFO* pFixed = nullptr;
    UINT cbFixed = 0;
    ASSERT_TRUE(VerQueryValueA(info.data(), "\\", reinterpret_cast<void**>(&pFixed), &cbFixed));
    EXPECT_EQ(0x00010000u, pFixed->dwFileVersionMS);
    EXPECT_EQ(0x00000001u, pFixed->dwFileVersionLS);
    EXPECT_EQ(0x00010000u, pFixed->dwProductVersionMS);
    EXPECT_EQ(0x00000001u, pFixed->dwProductVersionLS);
    EXPECT_EQ(0u, pFixed->dwFileFlags);
    EXPECT_EQ(static_cast<DWORD>(VOS_NT_WINDOWS32), pFixed->dwFileOS);
    EXPECT_EQ(static_cast<DWORD>(VFT_APP), pFixed->dwFileType);

    WORD* pTranslation = nullptr;
    UINT cbTranslation = 0;
    ASSERT_TRUE(VerQueryValueA(info.data(), "\\VarFileInfo\\Translation",
                               reinterpret_cast<void**>(&pTranslation), &cbTranslation));
    ASSERT_EQ(4u, cbTranslation);
    EXPECT_EQ(0x0407, pTranslation[0]);
    EXPECT_EQ(0x04b0, pTranslation[1]);

    for (const char* szName : {"Comments", "LegalTrademarks", "PrivateBuild", "SpecialBuild"})
        EXPECT_EQ("", VersionString(info, szName)) << szName;
    EXPECT_EQ("velmorin", VersionString(info, "FileDescription"));
    EXPECT_EQ("velmorin", VersionString(info, "InternalName"));
    EXPECT_EQ("velmorin", VersionString(info, "ProductName"));
    EXPECT_EQ("1, 0, 0, 1", VersionString(info, "FileVersion"));
    EXPECT_EQ("1, 0, 0, 1", VersionString(info, "ProductVersion"));
    EXPECT_EQ("velmorin.exe", VersionString(info, "OriginalFilename"));
    EXPECT_EQ("Velmorin", VersionString(info, "CompanyName"));
    EXPECT_NE("<missing>", VersionString(info, "LegalCopyright"));
}

}  // namespace
