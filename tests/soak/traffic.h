// The soak's traffic, for both builds: connections through a forwarder on
// loopback with every byte checked, and the check of the status lines the
// forwarder writes meanwhile.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "tests/support/support.h"

namespace soak {

using namespace test;
using Clock = std::chrono::steady_clock;

// Prints "soak: FAIL why" and gives false.
bool Fail(const std::string& why);
double Seconds(Clock::time_point from);

// Checks the forwarder's status lines as they come: "Gestarted.", the
// waiting line, then "Verbunden mit 127.0.0.1" and "Verbindung beendet."
// for each connection, and "Gestoppt." only after Stop, between
// connections, as the last line.
class LineChecker {
public:
    // fetch hands over the lines that came since its last call (false if
    // they cannot be read).
    LineChecker(unsigned short nPort, std::function<bool(std::vector<std::string>*)> fetch);

    // Takes the lines that came. False on a line out of place.
    bool Drain();
    // Waits until nLines lines have been seen in all.
    bool WaitFor(std::uint64_t nLines, milliseconds timeout);
    // After Stop: waits for the last line.
    bool WaitForStop(milliseconds timeout);
    // After the last line: whether the run's nServed connections gave all
    // the lines seen, no more and no fewer (says so either way).
    bool SawAll(std::uint64_t nServed);
    std::uint64_t Seen() const { return m_nSeen; }

private:
    // Takes the lines until done holds; false at a line out of place or late.
    bool WaitDraining(const std::function<bool()>& done, milliseconds timeout);
    std::string Expected() const;
    bool Accept(const std::string& text);

    std::function<bool(std::vector<std::string>*)> m_fetch;
    std::vector<std::string> m_expectHead;
    std::uint64_t m_nSeen = 0;
    bool m_bStopping = false;
    bool m_bStopped = false;
};

// The run of connections both soaks make: nConnections with random sizes
// from 0 to cbMaxSize each way and a random side closing first (the same on
// every run, so that a failure repeats), then one of cbBulk bytes each way
// at once if cbBulk is not 0. Prints the figures; false on the first
// failure. Adds the connections made to *pnServed, which counts those of
// every run with pLines: the run ends once their lines are all there.
bool RunConnections(std::uint64_t nConnections, std::uint64_t cbMaxSize, std::uint64_t cbBulk,
                    unsigned short nLocalPort, SOCKET sBackend, LineChecker* pLines,
                    std::uint64_t* pnServed);

}  // namespace soak
