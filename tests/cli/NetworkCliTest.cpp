// tarnell-cli on network ports: --device rfc2217://HOST:PORT and
// tcp://HOST:PORT through a real ser2net in front of tarnell-sim.
#include "DelayRelay.h"
#include "PtyPort.h"
#include "Ser2net.h"
#include "Slurp.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>

namespace {

namespace fs = std::filesystem;
using sio::test::Slurp;
using sio::test::TProcess;
using sio::test::TSer2net;

class NetworkCli : public ::testing::Test {
protected:
    struct TRun {
        int exitCode;
        std::string output;  // standard output and error, then the logs when it failed
    };
    // A run that fails brings its dispatch log and the simulators' wire logs
    // along, so that a failure seen once can still be told apart afterwards.
    TRun Run(std::vector<std::string> args)
    {
        const std::string n = std::to_string(++runs_);
        const std::string out = File("cli" + n + ".out");
        std::string log = File("cli" + n + ".log");
        if (const auto given = std::find(args.begin(), args.end(), "--log"); given != args.end() && given + 1 != args.end())
            log = given[1];
        else
            args.insert(args.begin(), {"--log", log});
        args.insert(args.begin(), TARNELL_CLI_PATH);
        TProcess cli(args, out);
        const int code = cli.Wait();
        TRun run{code, Slurp(out)};
        if (code != 0)
            run.output += "\n--- dispatch log\n" + Slurp(log) + "\n--- simulator 1\n" + Slurp(File("sim1.log")) +
                          "\n--- simulator 2\n" + Slurp(File("sim2.log")) + "\n--- ser2net\n" + Slurp(File("ser2net.out"));
        return run;
    }
    std::string StartSim(TProcess& sim, int com)
    {
        sim.Start({TARNELL_SIM_PATH, "--dir", dir_.Path(), "--com", std::to_string(com), "--no-wire-timing", "--log",
                   File("sim" + std::to_string(com) + ".log")},
                  dir_.Path() + "/sim.out");
        const std::string link = dir_.Entry(com);
        if (!sio::test::AwaitSign([&] { return fs::exists(link); }))
            throw std::runtime_error("tarnell-sim did not link " + link);
        return fs::canonical(link).string();
    }
    std::string File(const std::string& name) const { return dir_.Path() + "/" + name; }

    sio::test::TPortDir dir_;
    int runs_ = 0;
};

TEST_F(NetworkCli, ReadoutAndStoreOverRfc2217AndStatusOverRawTcp)
{
    TProcess simA, simB;
    const std::string ptyA = StartSim(simA, 1);
    const std::string ptyB = StartSim(simB, 2);
    TSer2net server(dir_.Path(), {{"telnet(rfc2217)", ptyA}, {"tcp", ptyB}});

    TRun readout = Run({"--device", server.Url(0), "readout", File("a.gri")});
    ASSERT_EQ(readout.exitCode, 0) << readout.output;
    std::string gri = Slurp(File("a.gri"));
    ASSERT_NE(gri.find("150\r\n"), std::string::npos) << gri;  // place 2's grip, factory value
    // Place 2 changed, stored and read back; ser2net leaves SET-CONTROL for
    // a pseudo-terminal's DTR and RTS unanswered, which the store does not
    // mind.
    std::ofstream(File("b.gri"), std::ios::binary) << gri.replace(gri.find("150\r\n"), 3, "480");
    TRun store = Run({"--device", server.Url(0), "--log", File("store.log"), "store", File("b.gri")});
    EXPECT_EQ(store.exitCode, 0) << store.output;
    EXPECT_NE(store.output.find("read back: 8 place(s) as sent"), std::string::npos) << store.output;
    EXPECT_NE(Slurp(File("store.log")).find("Device: " + server.Url(0)), std::string::npos);
    TRun again = Run({"--device", server.Url(0), "readout", File("c.gri")});
    EXPECT_EQ(again.exitCode, 0) << again.output;
    EXPECT_EQ(Slurp(File("c.gri")), Slurp(File("b.gri")));

    TRun raw = Run({"--device", server.Url(1), "--json", "status"});
    EXPECT_EQ(raw.exitCode, 0) << raw.output;
    EXPECT_NE(raw.output.find("\"reply\":\"STA;0:192;\""), std::string::npos) << raw.output;
}

// A slow link, 110 ms each way, between the tool and ser2net: a scan with
// its defaults waits for the gripper as long as on a local port, plus the
// link's round trip, and finds every gripper, saying so as it goes on a
// standard error that is a file.
TEST_F(NetworkCli, AScanWithItsDefaultsFindsEveryGripperOverASlowLink)
{
    TProcess sim;
    sim.Start({TARNELL_SIM_PATH, "--dir", dir_.Path(), "--com", "1", "--no-wire-timing", "--address", "3:KV0050",
               "--address", "17:KV0150", "--log", File("sim1.log")},
              dir_.Path() + "/sim.out");
    ASSERT_TRUE(sio::test::AwaitSign([&] { return fs::exists(dir_.Entry(1)); }));
    TSer2net server(dir_.Path(), {{"telnet(rfc2217)", fs::canonical(dir_.Entry(1)).string()}});
    sio::test::TDelayRelay link("127.0.0.1", server.Port(0), 110);

    TRun scan = Run({"--device", link.Url(), "scan"});
    ASSERT_EQ(scan.exitCode, 0) << scan.output;
    EXPECT_NE(scan.output.find("found address 3, 50 mm\nfound address 17, 100 mm\n"
                               "scanned addresses 0..32: 2 found\n"),
              std::string::npos)
        << scan.output;
    EXPECT_NE(scan.output.find("address 17  status 192  100 mm (KV0150)"), std::string::npos) << scan.output;
}

TEST_F(NetworkCli, ABadAddressIsUsageAndAnAbsentServerAPortErrorNamingIt)
{
    TRun bad = Run({"--device", "rfc2217://gripper-gw", "status"});
    EXPECT_EQ(bad.exitCode, 1);
    EXPECT_NE(bad.output.find("not a network address"), std::string::npos) << bad.output;

    const std::string url = "rfc2217://127.0.0.1:" + std::to_string(sio::test::FreeTcpPort());
    TRun refused = Run({"--device", url, "status"});
    EXPECT_EQ(refused.exitCode, 2);
    // The address once, then what failed and why.
    EXPECT_EQ(refused.output.substr(0, refused.output.find('\n')),
              "tarnell-cli: " + url + ": the port could not be opened: cannot connect: Connection refused");
}

}  // namespace
