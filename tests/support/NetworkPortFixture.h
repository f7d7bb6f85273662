// The set-up shared by the network port tests: a port folder of the test's
// own (SIO_PORT_DIR), the main thread's message queue, and the name look-up
// put back afterwards. MapPort links COMn to a network address as an
// operator maps it; Log() is the dispatch log in that folder.
//
//   class Network : public sio::test::TNetworkPortFixture {};
//   MapPort(5, "rfc2217://127.0.0.1:" + std::to_string(port));
//   TConsoleLink link(5, Log());
#pragma once

#include "PtyPort.h"
#include "Slurp.h"

#include "base/MessageQueue.h"
#include "devices/network/NetworkDispatcher.h"

#include <filesystem>
#include <string>

#include <gtest/gtest.h>

namespace sio::test {

class TNetworkPortFixture : public ::testing::Test {
protected:
    void SetUp() override { sio::SetMessageQueue(&queue_); }
    void TearDown() override
    {
        sio::SetNameResolver(nullptr);
        sio::SetMessageQueue(nullptr);
    }
    void MapPort(int com, const std::string& url) { std::filesystem::create_symlink(url, dir_.Entry(com)); }
    std::string Log() const { return dir_.Path() + "/SIO.LOG"; }

    sio::TLocalMessageQueue queue_;
    sio::test::TPortDir dir_;
};

// The network dispatcher behind a port, or null when it has another.
template <class Link>
sio::TSioNetworkDispatcher* NetDispatcher(Link& link)
{
    return dynamic_cast<sio::TSioNetworkDispatcher*>(link.Port().Dispatcher());
}

} // namespace sio::test
