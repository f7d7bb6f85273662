// Random byte streams, cut into random pieces, offered to collectors with
// random configurations: the packets must not depend on how the stream was
// cut, and must be those of a small model of the collector's rules.
#include <gtest/gtest.h>

#include <optional>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "PacketFakePort.h"
#include "errors/Exceptions.h"
#include "base/BaseComponent.h"
#include "packet/DataPacket.h"

using namespace sio;
using sio::test::TFakePacketPort;

namespace {

struct TConfig {
    TPacketStartCond start = scString;
    bool endByString = false;
    bool endBySize = false;
    std::string startString, endString;
    bool ignoreCase = true;
    std::int32_t size = 0;
    bool include = true;

    std::string Describe() const
    {
        std::ostringstream o;
        auto show = [](const std::string& s) {
            std::string r;
            for (unsigned char ch : s)
                r += (ch >= 32 && ch < 127) ? std::string(1, static_cast<char>(ch)) : "[" + std::to_string(ch) + "]";
            return r;
        };
        o << (start == scString ? "scString" : "scAnyData") << " end{" << (endByString ? "str " : "")
          << (endBySize ? "size" : "") << "} start='" << show(startString) << "' end='" << show(endString)
          << "' ic=" << ignoreCase << " size=" << size << " include=" << include;
        return o.str();
    }
};

// One pattern position: a byte to compare, or any byte.
using TToken = std::optional<unsigned char>;

std::vector<TToken> Tokens(const std::string& text, bool ignoreCase)
{
    std::vector<TToken> out;
    bool escaped = false;
    for (unsigned char ch : text) {
        unsigned char u = (ignoreCase && ch >= 'a' && ch <= 'z') ? static_cast<unsigned char>(ch - 32) : ch;
        if (escaped) {
            out.emplace_back(u);
            escaped = false;
        } else if (u == '\\') {
            escaped = true;
        } else if (u == '?') {
            out.emplace_back(std::nullopt);
        } else {
            out.emplace_back(u);
        }
    }
    return out;
}

bool MatchAt(const std::string& s, std::size_t at, const std::vector<TToken>& p, bool ignoreCase)
{
    if (at + p.size() > s.size())
        return false;
    for (std::size_t k = 0; k < p.size(); ++k) {
        unsigned char b = static_cast<unsigned char>(s[at + k]);
        if (ignoreCase && b >= 'a' && b <= 'z')
            b = static_cast<unsigned char>(b - 32);
        if (p[k] && *p[k] != b)
            return false;
    }
    return true;
}

// The configuration error the model expects, or 0.
int ModelError(const TConfig& c)
{
    auto S = Tokens(c.startString, c.ignoreCase);
    auto E = Tokens(c.endString, c.ignoreCase);
    if (c.start == scString && S.empty())
        return -5501;
    if (c.start == scString && c.endBySize && static_cast<std::int32_t>(c.startString.size()) > c.size)
        return -5502;
    if (c.start == scAnyData && !c.endByString && !c.endBySize)
        return -5503;
    if (c.endByString && E.empty())
        return -5504;
    if (c.endBySize && c.size == 0)
        return -5505;
    return 0;
}

// A packet starts at the first occurrence of the start pattern (or at the
// next byte), and ends at the first occurrence of the end pattern after the
// start pattern, or when the size is reached, whichever comes first.
std::vector<std::string> Model(const TConfig& c, const std::string& s)
{
    auto S = Tokens(c.startString, c.ignoreCase);
    auto E = Tokens(c.endString, c.ignoreCase);
    const std::size_t n = s.size();
    const std::size_t none = std::string::npos;
    std::vector<std::string> out;
    std::size_t pos = 0;
    for (;;) {
        std::size_t begin = none, from = none;
        if (c.start == scString) {
            for (std::size_t b = pos; b + S.size() <= n && begin == none; ++b)
                if (MatchAt(s, b, S, c.ignoreCase))
                    begin = b;
            if (begin == none)
                break;
            from = begin + S.size();
            bool noEnd = !c.endByString && !c.endBySize;
            if (noEnd || (c.endBySize && static_cast<std::int32_t>(S.size()) == c.size)) {
                std::string raw = s.substr(begin, S.size());
                out.push_back(c.include ? raw : std::string());
                pos = from;
                continue;
            }
        } else {
            if (pos >= n)
                break;
            begin = from = pos;
        }
        std::size_t sizeEnd = none, stringEnd = none;
        if (c.endBySize) {
            std::size_t last = std::max(from, begin + static_cast<std::size_t>(c.size) - 1);
            if (last < n)
                sizeEnd = last;
        }
        if (c.endByString) {
            for (std::size_t e = from; e + E.size() <= n && stringEnd == none; ++e)
                if (MatchAt(s, e, E, c.ignoreCase))
                    stringEnd = e + E.size() - 1;
        }
        if (sizeEnd == none && stringEnd == none)
            break;
        bool bySize = sizeEnd != none && (stringEnd == none || sizeEnd <= stringEnd);
        std::size_t end = bySize ? sizeEnd : stringEnd;
        std::string raw = s.substr(begin, end - begin + 1);
        if (!c.include) {
            if (c.start == scString)
                raw.erase(0, S.size());
            if (!bySize)
                raw.erase(raw.size() - E.size());
        }
        out.push_back(raw);
        pos = end + 1;
    }
    return out;
}

// Runs the collector over the stream, offered in the given pieces.
std::vector<std::string> Collect(const TConfig& cfg, const std::string& stream, const std::vector<std::size_t>& cuts,
                                 int* error)
{
    TFakePacketPort port;
    std::vector<std::string> got;
    {
        TSioDataPacket c;
        c.SetPacketPort(&port);
        c.SetStartCond(cfg.start);
        TPacketEndSet end;
        if (cfg.endByString)
            end.Include(ecString);
        if (cfg.endBySize)
            end.Include(ecPacketSize);
        c.SetEndCond(end);
        c.SetStartString(cfg.startString);
        c.SetEndString(cfg.endString);
        c.SetIgnoreCase(cfg.ignoreCase);
        c.SetPacketSize(cfg.size);
        c.SetIncludeStrings(cfg.include);
        c.SetTimeOut(0);
        c.OnStringPacket = [&](TSioDataPacket*, const std::string& p) { got.push_back(p); };
        *error = 0;
        try {
            c.SetEnabled(true);
        } catch (const EInvalidProperty& e) {
            *error = e.ErrorCode();
        }
        std::size_t at = 0;
        for (std::size_t cut : cuts) {
            port.Feed(stream.substr(at, cut - at));
            at = cut;
        }
        port.Feed(stream.substr(at));
    }
    while (sio::ProcessOneMessage()) {
    }
    return got;
}

TEST(PacketProperty, SamePacketsHoweverTheStreamIsCutAndAsTheModelSays)
{
    std::mt19937 rng(20261207);
    auto pick = [&](int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng); };
    const std::string streamBytes = std::string("aabAb?\\#\n") + '\xE4' + '\xC4';
    const std::string patternBytes = "abA?\\#";
    auto randomText = [&](const std::string& from, int maxLen) {
        std::string t;
        for (int k = pick(0, maxLen); k > 0; --k)
            t += from[static_cast<std::size_t>(pick(0, static_cast<int>(from.size()) - 1))];
        return t;
    };

    int checked = 0, packetsSeen = 0, invalid = 0;
    for (int iter = 0; iter < 3000; ++iter) {
        TConfig cfg;
        cfg.start = pick(0, 1) ? scString : scAnyData;
        cfg.endByString = pick(0, 1);
        cfg.endBySize = pick(0, 2) == 0;
        cfg.startString = randomText(patternBytes, 3);
        cfg.endString = randomText(patternBytes, 3);
        cfg.ignoreCase = pick(0, 1);
        cfg.size = pick(0, 8);
        cfg.include = pick(0, 1);
        std::string stream = randomText(streamBytes, 80);

        std::vector<std::size_t> cuts;
        for (std::size_t at = 0; stream.size() > 0;) {
            at += static_cast<std::size_t>(pick(1, 12));
            if (at >= stream.size())
                break;
            cuts.push_back(at);
        }

        SCOPED_TRACE(cfg.Describe() + " stream of " + std::to_string(stream.size()) + " bytes, iteration " +
                     std::to_string(iter));
        int errWhole = 0, errCut = 0;
        auto whole = Collect(cfg, stream, {}, &errWhole);
        auto cut = Collect(cfg, stream, cuts, &errCut);
        int expectedError = ModelError(cfg);
        ASSERT_EQ(errWhole, expectedError);
        ASSERT_EQ(errCut, expectedError);
        if (expectedError != 0) {
            ++invalid;
            ASSERT_TRUE(whole.empty());
            ASSERT_TRUE(cut.empty());
            continue;
        }
        ASSERT_EQ(whole, cut);
        ASSERT_EQ(whole, Model(cfg, stream));
        ++checked;
        packetsSeen += static_cast<int>(whole.size());
    }
    // The generator must exercise both paths, and produce real packets.
    EXPECT_GT(checked, 1000);
    EXPECT_GT(invalid, 100);
    EXPECT_GT(packetsSeen, 5000);
}

}  // namespace
