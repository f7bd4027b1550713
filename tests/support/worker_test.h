// The fixture of the engine tests: one status window and one worker per
// test, the worker stopped and joined at the end whatever the test did.
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "tests/support/support.h"

namespace test {

class WorkerTest : public ::testing::Test {
protected:
    void SetUp() override { m_hDlg = CreateStatusWindow(); }

    void TearDown() override
    {
        StopWorker(&m_worker);
        EXPECT_TRUE(JoinWorker(&m_worker)) << "worker did not end";
        DestroyStatusWindow(m_hDlg);
    }

    // Starts a worker (on a fresh local port unless told), waits for its line.
    void Start(unsigned short nRemotePort, const std::string& host = "127.0.0.1", unsigned short nLocal = FreePort())
    {
        m_nPort = nLocal;
        StartWorker(&m_worker, m_hDlg, host.c_str(), m_nPort, nRemotePort);
        ASSERT_TRUE(WaitForLine(m_hDlg, WaitingLine(m_nPort))) << "no waiting line";
    }

    // A fresh worker and status list, for the next case of a loop.
    void Restart()
    {
        TearDown();
        SetUp();
    }

    // The lines of this run with nClients served, and its stop if bStopped.
    Lines Run(int nClients, bool bStopped) const { return RunLines(m_nPort, nClients, bStopped); }

    Lines Status() const { return StatusText(m_hDlg); }

    // Waits for the worker to end by itself (no Stop) and gives its exit code.
    DWORD EndedWith()
    {
        EXPECT_TRUE(JoinWorker(&m_worker)) << "worker did not end by itself";
        return m_worker.dwExit.load();
    }
    // Stops the worker as the dialog does, and gives its exit code.
    DWORD StopAndEnd()
    {
        StopWorker(&m_worker);
        return EndedWith();
    }

    Backend m_echo{Echo};  // a remote end for any test that wants one
    HWND m_hDlg = nullptr;
    Worker m_worker;
    unsigned short m_nPort = 0;
};

}  // namespace test
