// Fuzzes the collector's byte processing: random configurations of one or two
// collectors on a port without a device, random reads, time-outs, property
// changes (also from inside the events) and port closes and opens. Besides
// the sanitizers' findings, it checks that a single collector cuts the same
// packets from a stream whether it arrives whole or in the fuzzed pieces.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <exception>
#include <memory>
#include <string>
#include <vector>

#include "PacketFakePort.h"
#include "errors/Exceptions.h"
#include "base/BaseComponent.h"
#include "packet/DataPacket.h"

using namespace sio;
using sio::test::TFakePacketPort;

namespace {

class TInput {
public:
    TInput(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}
    bool Empty() const { return pos_ >= size_; }
    std::uint8_t Byte() { return pos_ < size_ ? data_[pos_++] : 0; }
    std::string Bytes(std::size_t n)
    {
        n = std::min(n, size_ - std::min(pos_, size_));
        std::string s(reinterpret_cast<const char*>(data_ + pos_), n);
        pos_ += n;
        return s;
    }

private:
    const std::uint8_t* data_;
    std::size_t size_;
    std::size_t pos_ = 0;
};

void Configure(TSioDataPacket& c, TInput& in, bool forDiff)
{
    std::uint8_t flags = in.Byte();
    c.SetStartCond(flags & 1 ? scAnyData : scString);
    TPacketEndSet end;
    if (flags & 2)
        end.Include(ecString);
    if (flags & 4)
        end.Include(ecPacketSize);
    c.SetEndCond(end);
    c.SetIgnoreCase(flags & 8);
    c.SetIncludeStrings(flags & 16);
    c.SetAutoEnable(forDiff || (flags & 32));
    c.SetTimeOut(forDiff ? 0 : (flags & 64 ? 25 : 0));
    c.SetStartString(in.Bytes(in.Byte() % 5));
    c.SetEndString(in.Bytes(in.Byte() % 5));
    c.SetPacketSize(static_cast<std::int8_t>(in.Byte()) % 20);
}

bool Enable(TSioDataPacket& c)
{
    try {
        c.SetEnabled(true);
        return true;
    } catch (const EInvalidProperty&) {
        return false;
    }
}

void Pump()
{
    while (sio::ProcessOneMessage()) {
    }
}

// The same configuration over the same stream, whole and in pieces.
void Differential(TInput& in)
{
    std::size_t at = 0;
    std::vector<std::uint8_t> config;
    for (int k = 0; k < 4; ++k)
        config.push_back(in.Byte());
    std::string strings = in.Bytes(8);
    std::string stream = in.Bytes(in.Byte());
    std::vector<std::size_t> cuts;
    for (std::size_t p = 0;;) {
        p += 1 + in.Byte() % 16;
        if (p >= stream.size())
            break;
        cuts.push_back(p);
    }
    auto run = [&](bool pieces) {
        std::vector<std::string> got;
        TFakePacketPort port;
        {
            TSioDataPacket c;
            c.SetPacketPort(&port);
            std::string raw(config.begin(), config.end());
            raw += strings;
            TInput cin(reinterpret_cast<const std::uint8_t*>(raw.data()), raw.size());
            Configure(c, cin, true);
            c.OnStringPacket = [&](TSioDataPacket*, const std::string& s) { got.push_back(s); };
            if (Enable(c)) {
                at = 0;
                if (pieces) {
                    for (std::size_t cut : cuts) {
                        port.Feed(stream.substr(at, cut - at));
                        at = cut;
                    }
                }
                port.Feed(stream.substr(at));
            }
        }
        Pump();
        return got;
    };
    if (run(false) != run(true))
        std::abort();
}

// Errors met while the port's thread handles bytes are reported through the
// message queue: a configuration that a handler left invalid, or a stream
// that ran past the held-bytes limit without an end, is expected; anything
// else is a finding.
void QuietReporter(std::exception_ptr e)
{
    try {
        std::rethrow_exception(e);
    } catch (const EInvalidProperty&) {
    } catch (const EPacketOverflow&) {
    } catch (...) {
        std::abort();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    SetExceptionReporter(QuietReporter);
    TInput in(data, size);
    if (in.Byte() & 1) {
        Differential(in);
        return 0;
    }

    TFakePacketPort port;
    port.Open = in.Byte() & 1;
    {
        std::vector<std::unique_ptr<TSioDataPacket>> collectors;
        int count = 1 + in.Byte() % 3;
        for (int k = 0; k < count; ++k) {
            auto c = std::make_unique<TSioDataPacket>();
            c->SetName("F" + std::to_string(k));
            c->SetPacketPort(&port);
            Configure(*c, in, false);
            std::uint8_t reaction = in.Byte();
            TSioDataPacket* self = c.get();
            // Handlers that act on the collectors while their event runs.
            c->OnPacket = [self, reaction](TSioDataPacket* sender, const std::uint8_t* d, std::int32_t n) {
                if (sender != self || n < 0)
                    std::abort();
                volatile std::uint8_t sink = 0;
                for (std::int32_t i = 0; i < n; ++i)
                    sink = static_cast<std::uint8_t>(sink ^ d[i]);
                (void)sink;
                if (reaction & 1)
                    sender->SetEnabled(true);
                if (reaction & 2)
                    sender->SetEndString(reaction & 4 ? "" : "\n");
            };
            c->OnTimeout = [self, reaction](TSioBaseComponent*) {
                if (reaction & 8)
                    self->SetEnabled(true);
            };
            Enable(*c);
            collectors.push_back(std::move(c));
        }

        while (!in.Empty()) {
            std::uint8_t op = in.Byte();
            std::size_t k = static_cast<std::size_t>(op >> 4) % collectors.size();
            try {
                switch (op & 15) {
                case 0: case 1: case 2: case 3: case 4: case 5:
                    port.Feed(in.Bytes(1 + in.Byte() % 40));
                    break;
                case 6:
                    port.FireTimer();
                    break;
                case 7:
                    if (collectors[k]->Enabled())
                        collectors[k]->SetEnabled(false);
                    else
                        Enable(*collectors[k]);
                    break;
                case 8:
                    if (port.Manager) {
                        port.Manager->PortChanged(pcClosing);
                        port.Manager->PortChanged(pcClosed);
                    }
                    port.Open = false;
                    break;
                case 9:
                    port.Open = true;
                    if (port.Manager)
                        port.Manager->PortChanged(pcOpened);
                    break;
                case 10:
                    collectors[k]->SetEndString(in.Bytes(in.Byte() % 4));
                    break;
                case 11:
                    collectors[k]->SetTimeOut(in.Byte() & 1 ? 25 : 0);
                    break;
                case 12:
                    // A collector leaves the port and comes back at the end.
                    collectors[k]->SetPacketPort(collectors[k]->PacketPort() ? nullptr : &port);
                    break;
                default:
                    collectors[k]->SetStartString(in.Bytes(in.Byte() % 4));
                    break;
                }
            } catch (const EInvalidProperty&) {
                // configuration errors raised while arming: expected
            }
            if (port.Manager && port.Manager->InEvent())
                std::abort();  // every event bracket must have been left
        }
    }
    Pump();
    // Every manager has gone with its last collector.
    auto& list = TSioDataPacketManagerList::Instance();
    if (list.Count() != 0 || list.RetiredCount() != 0)
        std::abort();
    return 0;
}
