// TFTP client against the scripted server.
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <thread>

#include "active_lock.h"
#include "nsfixture.h"
#include "tftp_client.h"
#include "tftp_fake_server.h"

namespace {

using namespace tftptest;
using Clock = std::chrono::steady_clock;

const char kLocal[] = "/var/tmp/fw.bin";

tftp_options Opts(const FakeServer &s, uint16_t blksize = 512, int32_t timeout = 1,
                  const char *remote = "/fw/a.bin")
{
    tftp_options o{};
    o.blksize = blksize;
    o.timeout = timeout;
    snprintf(o.port, sizeof o.port, "%s", s.port_text().c_str());
    EXPECT_EQ(0, tftp_set_remotefile(&o, remote));
    return o;
}

int Get(const char *server, const char *local, const tftp_options &o)
{
    return tftp_get(server, local, &o);
}

std::string ReadFile(const std::string &path)
{
    std::ifstream f(path, std::ios::binary);
    std::stringstream ss;
    ss << f.rdbuf();
    return ss.str();
}

bool Exists(const std::string &path)
{
    struct stat st;
    return lstat(path.c_str(), &st) == 0;
}

std::string Bytes(size_t n, char seed)
{
    std::string s(n, '\0');
    for (size_t i = 0; i < n; ++i)
        s[i] = static_cast<char>(seed + i * 7 + i / 251);
    return s;
}

// Runs script on a thread beside the client and always joins it.
class Script {
public:
    explicit Script(std::function<void()> body) : t_(std::move(body)) {}
    ~Script() { t_.join(); }

private:
    std::thread t_;
};

// Serves content in blocks of blksize after an OACK carrying oack_options.
void Serve(FakeServer &s, const std::string &content, size_t blksize,
           const std::vector<std::pair<std::string, std::string>> &oack_options)
{
    Request rq;
    ASSERT_TRUE(s.WaitRequest(&rq));
    ASSERT_TRUE(s.SendFile(content, blksize, oack_options));
}

void ExpectNoLeftovers()
{
    EXPECT_FALSE(Exists(kLocal));
    EXPECT_FALSE(Exists(std::string(kLocal) + "xfer_fw.!lock"));
}

TEST(TftpRequest, OptionsFollowTheSettings)
{
    struct Case {
        uint16_t blksize;
        int32_t timeout;
        std::vector<std::pair<std::string, std::string>> expected;
    };
    const Case cases[] = {
        {512, 0, {{"tsize", "0"}}},
        {1468, 3, {{"blksize", "1468"}, {"timeout", "3"}, {"tsize", "0"}}},
        {7, 1, {{"timeout", "1"}, {"tsize", "0"}}},           // replaced by 512
        {65465, 1, {{"timeout", "1"}, {"tsize", "0"}}},       // replaced by 512
        {65464, 255, {{"blksize", "65464"}, {"timeout", "255"}, {"tsize", "0"}}},
        {8, 256, {{"blksize", "8"}, {"tsize", "0"}}},          // no valid option for 256
        {1024, -5, {{"blksize", "1024"}, {"tsize", "0"}}},
    };
    for (const Case &c : cases) {
        nsfixture::Run([&c] {
            FakeServer s;
            Request rq;
            {
                Script script([&] {
                    ASSERT_TRUE(s.WaitRequest(&rq));
                    s.Send(Error(1, "File not found"));
                });
                EXPECT_EQ(TFTP_FAILED, Get("127.0.0.1", kLocal, Opts(s, c.blksize, c.timeout)));
            }
            EXPECT_EQ(1, rq.opcode);
            EXPECT_EQ("fw/a.bin", rq.file);
            EXPECT_EQ("octet", rq.mode);
            EXPECT_EQ(c.expected, rq.options) << "blksize " << c.blksize << " timeout " << c.timeout;
            ExpectNoLeftovers();
        });
    }
}

TEST(TftpTransfer, WholeFileWithOptionAck)
{
    nsfixture::Run([] {
        FakeServer s;
        const std::string content = Bytes(1468 * 3 + 100, 'a');
        bool marker_seen = false;
        {
            Script script([&] {
                Request rq;
                ASSERT_TRUE(s.WaitRequest(&rq));
                marker_seen = Exists(std::string(kLocal) + "xfer_fw.!lock");
                ASSERT_TRUE(s.Send(Oack({{"blksize", "1468"}, {"timeout", "1"}, {"tsize", "4504"}})));
                ASSERT_TRUE(s.ExpectAck(0));
                for (uint16_t b = 1; b <= 4; ++b) {
                    ASSERT_TRUE(s.Send(Data(b, content.substr((b - 1) * 1468, 1468))));
                    ASSERT_TRUE(s.ExpectAck(b));
                }
            });
            EXPECT_EQ(TFTP_OK, Get("127.0.0.1", kLocal, Opts(s, 1468)));
        }
        EXPECT_TRUE(marker_seen);
        EXPECT_EQ(content, ReadFile(kLocal));
        EXPECT_FALSE(Exists(std::string(kLocal) + "xfer_fw.!lock"));
        struct stat st;
        ASSERT_EQ(0, stat(kLocal, &st));
        EXPECT_EQ(0644u, st.st_mode & 0777);
    });
}

TEST(TftpTransfer, ExactMultipleEndsWithEmptyBlock)
{
    nsfixture::Run([] {
        FakeServer s;
        const std::string content = Bytes(1024, 'e');
        {
            Script script([&] { Serve(s, content, 512, {{"tsize", "1024"}}); });
            EXPECT_EQ(TFTP_OK, Get("127.0.0.1", kLocal, Opts(s)));
        }
        EXPECT_EQ(content, ReadFile(kLocal));
    });
}

// A server that ignores the options answers with block 1 straight away; its block size may
// differ from the one asked for, so such an answer is refused rather than misread.
TEST(TftpTransfer, ServerIgnoringOptionsIsRefused)
{
    nsfixture::Run([] {
        FakeServer s;
        {
            Script script([&] {
                Request rq;
                ASSERT_TRUE(s.WaitRequest(&rq));
                s.Send(Data(1, "short file"));
            });
            EXPECT_EQ(TFTP_FAILED, Get("127.0.0.1", kLocal, Opts(s, 1468)));
        }
        ExpectNoLeftovers();
    });
}

TEST(TftpTransfer, RepeatedBlockIsAcknowledgedNotWrittenTwice)
{
    nsfixture::Run([] {
        FakeServer s;
        const std::string b1 = Bytes(512, '1'), b2 = "tail";
        {
            Script script([&] {
                Request rq;
                ASSERT_TRUE(s.WaitRequest(&rq));
                ASSERT_TRUE(s.Send(Oack({{"tsize", "516"}})));
                ASSERT_TRUE(s.ExpectAck(0));
                ASSERT_TRUE(s.Send(Data(1, b1)));
                ASSERT_TRUE(s.ExpectAck(1));
                ASSERT_TRUE(s.Send(Data(1, b1)));
                EXPECT_TRUE(s.ExpectAck(1));
                ASSERT_TRUE(s.Send(Data(2, b2)));
                EXPECT_TRUE(s.ExpectAck(2));
            });
            EXPECT_EQ(TFTP_OK, Get("127.0.0.1", kLocal, Opts(s)));
        }
        EXPECT_EQ(b1 + b2, ReadFile(kLocal));
    });
}

TEST(TftpTransfer, RepeatedOptionAckIsAcknowledgedAgain)
{
    nsfixture::Run([] {
        FakeServer s;
        {
            Script script([&] {
                Request rq;
                ASSERT_TRUE(s.WaitRequest(&rq));
                ASSERT_TRUE(s.Send(Oack({{"tsize", "3"}})));
                ASSERT_TRUE(s.ExpectAck(0));
                ASSERT_TRUE(s.Send(Oack({{"tsize", "3"}})));  // as if our ACK had been lost
                EXPECT_TRUE(s.ExpectAck(0));
                ASSERT_TRUE(s.Send(Data(1, "abc")));
                EXPECT_TRUE(s.ExpectAck(1));
            });
            EXPECT_EQ(TFTP_OK, Get("127.0.0.1", kLocal, Opts(s)));
        }
        EXPECT_EQ("abc", ReadFile(kLocal));
    });
}

TEST(TftpTransfer, SkippedBlockFails)
{
    nsfixture::Run([] {
        FakeServer s;
        {
            Script script([&] {
                Request rq;
                ASSERT_TRUE(s.WaitRequest(&rq));
                ASSERT_TRUE(s.Send(Oack({{"tsize", "2000"}})));
                ASSERT_TRUE(s.ExpectAck(0));
                ASSERT_TRUE(s.Send(Data(1, Bytes(512, 'x'))));
                ASSERT_TRUE(s.ExpectAck(1));
                ASSERT_TRUE(s.Send(Data(3, Bytes(512, 'y'))));
            });
            EXPECT_EQ(TFTP_FAILED, Get("127.0.0.1", kLocal, Opts(s)));
        }
        ExpectNoLeftovers();
    });
}

// A lower block size offered is taken; an acknowledgement without "blksize" declines the
// option, and the server's 512-byte blocks are not taken for a short last one.
TEST(TftpOptionAck, BlockSizeFollowsTheAcknowledgement)
{
    const struct {
        std::vector<std::pair<std::string, std::string>> oack;
        size_t blksize;
    } cases[] = {{{{"blksize", "1024"}}, 1024}, {{{"tsize", "2058"}}, 512}, {{{"timeout", "2"}}, 512}};
    for (const auto &c : cases) {
        nsfixture::Run([&c] {
            FakeServer s;
            const std::string content = Bytes(1024 * 2 + 10, 'l');
            {
                Script script([&] { Serve(s, content, c.blksize, c.oack); });
                EXPECT_EQ(TFTP_OK, Get("127.0.0.1", kLocal, Opts(s, 1468)));
            }
            EXPECT_EQ(content, ReadFile(kLocal)) << "served in blocks of " << c.blksize;
        });
    }
}

TEST(TftpOptionAck, HigherBlockSizeIsNotTaken)
{
    nsfixture::Run([] {
        FakeServer s;
        const std::string content = Bytes(1468 + 20, 'h');
        {
            Script script([&] { Serve(s, content, 1468, {{"blksize", "2048"}}); });
            EXPECT_EQ(TFTP_OK, Get("127.0.0.1", kLocal, Opts(s, 1468)));
        }
        EXPECT_EQ(content, ReadFile(kLocal));
    });
}

// If the server then really sends the larger blocks, they would arrive cut to the block size
// asked for; the transfer must fail instead of storing a damaged file.
TEST(TftpOptionAck, BlocksLargerThanNegotiatedFail)
{
    nsfixture::Run([] {
        FakeServer s;
        {
            Script script([&] {
                Request rq;
                ASSERT_TRUE(s.WaitRequest(&rq));
                ASSERT_TRUE(s.Send(Oack({{"blksize", "2048"}})));
                ASSERT_TRUE(s.ExpectAck(0));
                ASSERT_TRUE(s.Send(Data(1, Bytes(2048, 'b'))));
            });
            EXPECT_EQ(TFTP_FAILED, Get("127.0.0.1", kLocal, Opts(s, 1468)));
        }
        ExpectNoLeftovers();
    });
}

// Acknowledgements that cannot be used end the transfer: block sizes the protocol does not
// allow, and packets longer than the receive buffer, whose whole length the receive reports
// though only their head was kept (they must not be read past the buffer).
TEST(TftpOptionAck, UnusableAcknowledgementFails)
{
    std::vector<Packet> oacks;
    for (const char *value : {"0", "4", "abc", ""})
        oacks.push_back(Oack({{"blksize", value}}));
    for (size_t size : {1473u, 3000u, 65000u}) {  // the buffer holds 1468 + 4 bytes
        oacks.push_back(Oack({{"blksize", "512"}}));
        oacks.back().resize(size, 'x');
    }
    for (const Packet &oack : oacks) {
        nsfixture::Run([&oack] {
            FakeServer s;
            {
                Script script([&] {
                    Request rq;
                    ASSERT_TRUE(s.WaitRequest(&rq));
                    ASSERT_TRUE(s.Send(oack));
                });
                EXPECT_EQ(TFTP_FAILED, Get("127.0.0.1", kLocal, Opts(s, 1468))) << oack.size();
            }
            ExpectNoLeftovers();
        });
    }
}

TEST(TftpOptionAck, SizeBeyondFreeSpaceEndsWithoutErrorPacket)
{
    for (const char *tsize : {"1125899906842624000", "123456789012345678901234567890"}) {
        nsfixture::Run([tsize] {
            FakeServer s;
            bool silent = false;
            {
                Script script([&] {
                    Request rq;
                    ASSERT_TRUE(s.WaitRequest(&rq));
                    ASSERT_TRUE(s.Send(Oack({{"tsize", tsize}})));
                    silent = s.Silent(400);
                });
                EXPECT_EQ(TFTP_NO_SPACE, Get("127.0.0.1", kLocal, Opts(s))) << tsize;
            }
            EXPECT_TRUE(silent);
            ExpectNoLeftovers();
        });
    }
}

TEST(TftpTransfer, DataBeyondFreeSpaceSendsErrorAndFails)
{
    nsfixture::Run([] {
        ASSERT_EQ(0, mount("tmpfs", "/var/tmp", "tmpfs", 0, "size=64k"));
        FakeServer s;
        Packet last;
        {
            Script script([&] {
                Request rq;
                ASSERT_TRUE(s.WaitRequest(&rq));
                ASSERT_TRUE(s.Send(Oack({{"blksize", "8192"}})));
                ASSERT_TRUE(s.ExpectAck(0));
                for (uint16_t b = 1; b < 40; ++b) {
                    ASSERT_TRUE(s.Send(Data(b, Bytes(8192, 'f'))));
                    ASSERT_TRUE(s.Receive(&last));
                    if (Opcode(last) != 4)
                        return;
                }
            });
            EXPECT_EQ(TFTP_NO_SPACE, Get("127.0.0.1", kLocal, Opts(s, 8192)));
        }
        EXPECT_EQ(5, Opcode(last));
        EXPECT_EQ(3, Block(last));  // the error code
        EXPECT_EQ(std::string("Not enough space") + '\0', std::string(last.begin() + 4, last.end()));
        ExpectNoLeftovers();
    });
}

TEST(TftpTransfer, ErrorFromServerFails)
{
    nsfixture::Run([] {
        FakeServer s;
        {
            Script script([&] {
                Request rq;
                ASSERT_TRUE(s.WaitRequest(&rq));
                ASSERT_TRUE(s.Send(Oack({{"tsize", "9000"}})));
                ASSERT_TRUE(s.ExpectAck(0));
                ASSERT_TRUE(s.Send(Data(1, Bytes(512, 'q'))));
                ASSERT_TRUE(s.ExpectAck(1));
                s.Send(Error(2, "Access violation"));
            });
            EXPECT_EQ(TFTP_FAILED, Get("127.0.0.1", kLocal, Opts(s)));
        }
        ExpectNoLeftovers();
    });
}

TEST(TftpTransfer, MalformedShortPacketFails)
{
    nsfixture::Run([] {
        FakeServer s;
        {
            Script script([&] {
                Request rq;
                ASSERT_TRUE(s.WaitRequest(&rq));
                s.Send(Packet{0, 3, 0});
            });
            EXPECT_EQ(TFTP_FAILED, Get("127.0.0.1", kLocal, Opts(s)));
        }
        ExpectNoLeftovers();
    });
}

// No answer at all: five waits of a fifth of the timeout each, the request sent again after
// each, then the timeout result.
TEST(TftpTimeout, SilentServer)
{
    nsfixture::Run([] {
        FakeServer s;
        int requests = 0;
        const auto start = Clock::now();
        {
            Script script([&] {
                Request rq;
                while (s.WaitRequest(&rq, 1500))
                    ++requests;
            });
            EXPECT_EQ(TFTP_TIMED_OUT, Get("127.0.0.1", kLocal, Opts(s, 512, 1)));
        }
        const auto took = Clock::now() - start - std::chrono::milliseconds(1500);
        EXPECT_GE(requests, 5);
        EXPECT_LE(requests, 6);
        EXPECT_LT(took, std::chrono::milliseconds(2500));
        ExpectNoLeftovers();
    });
}

TEST(TftpTimeout, SilenceMidTransferResendsTheLastAck)
{
    nsfixture::Run([] {
        FakeServer s;
        int repeats = 0;
        {
            Script script([&] {
                Request rq;
                ASSERT_TRUE(s.WaitRequest(&rq));
                ASSERT_TRUE(s.Send(Oack({{"tsize", "2000"}})));
                ASSERT_TRUE(s.ExpectAck(0));
                ASSERT_TRUE(s.Send(Data(1, Bytes(512, 'm'))));
                ASSERT_TRUE(s.ExpectAck(1));
                while (s.ExpectAck(1, 1500))
                    ++repeats;
            });
            EXPECT_EQ(TFTP_TIMED_OUT, Get("127.0.0.1", kLocal, Opts(s, 512, 1)));
        }
        EXPECT_GE(repeats, 4);
        ExpectNoLeftovers();
    });
}

// The five silent waits are a budget for the whole transfer, not renewed by the blocks that
// arrive in between, and a wait lasts a fifth of the timeout the server acknowledged (raised here
// from 1 to 2 s). The server answers only repeated packets: two waits of 200 ms before its
// acknowledgement, two of 400 ms before block 1, and the fifth, after block 1, ends the transfer
// although block 2 would complete the file.
TEST(TftpTimeout, BudgetLastsForTheWholeTransferAtTheAcknowledgedPace)
{
    nsfixture::Run([] {
        FakeServer s;
        const auto start = Clock::now();
        {
            Script script([&] {
                Request rq;
                for (int i = 0; i < 3; ++i)
                    ASSERT_TRUE(s.WaitRequest(&rq)) << "request, then repeated";
                ASSERT_TRUE(s.Send(Oack({{"timeout", "2"}, {"tsize", "600"}})));
                for (int i = 0; i < 3; ++i)
                    ASSERT_TRUE(s.ExpectAck(0)) << "ACK 0, then repeated";
                ASSERT_TRUE(s.Send(Data(1, Bytes(512, 'b'))));
                for (int i = 0; i < 2; ++i)
                    ASSERT_TRUE(s.ExpectAck(1)) << "ACK 1, then repeated";
                s.Send(Data(2, Bytes(88, 'c')));
            });
            EXPECT_EQ(TFTP_TIMED_OUT, Get("127.0.0.1", kLocal, Opts(s, 512, 1)));
        }
        EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(1450)) << "2 x 200 ms, then 3 x 400 ms";
        ExpectNoLeftovers();
    });
}

// A server that only repeats an old block never moves the transfer on; it must not keep the
// client busy for ever.
TEST(TftpTimeout, EndlessRepeatsAreBounded)
{
    nsfixture::Run([] {
        FakeServer s;
        std::atomic<bool> done{false};
        const auto start = Clock::now();
        {
            Script script([&] {
                Request rq;
                ASSERT_TRUE(s.WaitRequest(&rq));
                ASSERT_TRUE(s.Send(Oack({{"tsize", "2000"}})));
                ASSERT_TRUE(s.ExpectAck(0));
                const auto until = Clock::now() + std::chrono::seconds(5);
                while (!done && Clock::now() < until) {
                    s.Send(Data(1, Bytes(512, 'r')));
                    Packet p;
                    s.Receive(&p, 5);
                }
            });
            EXPECT_EQ(TFTP_TIMED_OUT, Get("127.0.0.1", kLocal, Opts(s, 512, 1)));
            done = true;
        }
        EXPECT_LT(Clock::now() - start, std::chrono::milliseconds(3000));
        ExpectNoLeftovers();
    });
}

// RFC 1350 transfer identifiers: packets from another host before the first reply, and from
// any other port of the server's host after it, are not part of the transfer.
TEST(TftpTransferId, StrangersCannotInjectData)
{
    nsfixture::Run([] {
        FakeServer s;
        Socket stranger("127.0.0.1");
        std::unique_ptr<Socket> other_host;
        try {
            other_host = std::make_unique<Socket>("127.0.0.2");
        } catch (const std::exception &) {
        }
        const std::string content = Bytes(512 * 5 + 33, 'g');
        const std::string evil(512, 'E');
        {
            Script script([&] {
                Request rq;
                ASSERT_TRUE(s.WaitRequest(&rq));
                // Race the server's first reply from another host.
                if (other_host) {
                    other_host->SendTo(Oack({{"blksize", "8"}}), s.client(), s.client_len());
                    other_host->SendTo(Data(1, evil), s.client(), s.client_len());
                }
                std::this_thread::sleep_for(std::chrono::milliseconds(20));
                ASSERT_TRUE(s.Send(Oack({{"tsize", std::to_string(content.size())}})));
                ASSERT_TRUE(s.ExpectAck(0));
                for (uint16_t b = 1; b <= 6; ++b) {
                    // The same block from a stranger on the server's host and from the
                    // server's request port, ahead of the real one.
                    stranger.SendTo(Data(b, evil), s.client(), s.client_len());
                    s.SendFromListenPort(Data(b, evil));
                    stranger.SendTo(Data(static_cast<uint16_t>(b + 1), evil), s.client(), s.client_len());
                    stranger.SendTo(Error(0, "go away"), s.client(), s.client_len());
                    std::this_thread::sleep_for(std::chrono::milliseconds(5));
                    ASSERT_TRUE(s.Send(Data(b, content.substr((b - 1) * 512, 512))));
                    ASSERT_TRUE(s.ExpectAck(b));
                }
            });
            EXPECT_EQ(TFTP_OK, Get("127.0.0.1", kLocal, Opts(s, 512, 2)));
        }
        EXPECT_EQ(content, ReadFile(kLocal));
    });
}

TEST(TftpTransferId, StrangerFloodDoesNotKeepASilentTransferAlive)
{
    nsfixture::Run([] {
        FakeServer s;
        Socket stranger("127.0.0.1");
        std::atomic<bool> done{false};
        const auto start = Clock::now();
        {
            Script script([&] {
                Request rq;
                ASSERT_TRUE(s.WaitRequest(&rq));
                ASSERT_TRUE(s.Send(Oack({{"tsize", "2000"}})));
                ASSERT_TRUE(s.ExpectAck(0));
                const auto until = Clock::now() + std::chrono::seconds(5);
                for (uint16_t b = 1; !done && Clock::now() < until; ++b) {
                    stranger.SendTo(Data(b, "spray"), s.client(), s.client_len());
                    std::this_thread::sleep_for(std::chrono::milliseconds(1));
                }
            });
            EXPECT_EQ(TFTP_TIMED_OUT, Get("127.0.0.1", kLocal, Opts(s, 512, 1)));
            done = true;
        }
        EXPECT_LT(Clock::now() - start, std::chrono::milliseconds(3000));
        ExpectNoLeftovers();
    });
}

// Block numbers are 16 bits wide and roll over to 0 after 65535; a repeat of block 65535 seen
// after the roll-over is still a repeat.
TEST(TftpTransfer, BlockNumbersRollOver)
{
    nsfixture::Run(
        [] {
            FakeServer s;
            const size_t blocks = 65536 + 3;
            std::string content;
            content.reserve(blocks * 8);
            for (size_t i = 0; i < blocks - 1; ++i)
                content += Bytes(8, static_cast<char>(i));
            content += "xyz";
            {
                Script script([&] {
                    Request rq;
                    ASSERT_TRUE(s.WaitRequest(&rq));
                    ASSERT_TRUE(s.Send(Oack({{"blksize", "8"}})));
                    ASSERT_TRUE(s.ExpectAck(0));
                    for (size_t i = 0; i < blocks; ++i) {
                        const uint16_t b = static_cast<uint16_t>(i + 1);
                        ASSERT_TRUE(s.Send(Data(b, content.substr(i * 8, 8))));
                        ASSERT_TRUE(s.ExpectAck(b)) << i;
                        if (b == 0) {  // right after the roll-over: repeat 65535
                            ASSERT_TRUE(s.Send(Data(65535, content.substr((i - 1) * 8, 8))));
                            ASSERT_TRUE(s.ExpectAck(65535));
                        }
                    }
                });
                EXPECT_EQ(TFTP_OK, Get("127.0.0.1", kLocal, Opts(s, 8, 2)));
            }
            EXPECT_EQ(content, ReadFile(kLocal));
        },
        nsfixture::Options{"", {}, 90});
}

TEST(TftpTransfer, SecondTransferIntoTheSameFileIsRefused)
{
    nsfixture::Run([] {
        FakeServer first, second;
        const std::string content = Bytes(2000, 's');
        int second_requests = 0;
        {
            Script script([&] {
                Request rq;
                ASSERT_TRUE(first.WaitRequest(&rq));
                ASSERT_TRUE(first.Send(Oack({{"tsize", "2000"}})));
                ASSERT_TRUE(first.ExpectAck(0));
                ASSERT_TRUE(first.Send(Data(1, content.substr(0, 512))));
                ASSERT_TRUE(first.ExpectAck(1));

                // While the first transfer holds the file, a second one is refused at once and
                // leaves the file alone.
                const auto t0 = Clock::now();
                EXPECT_EQ(TFTP_FAILED, Get("127.0.0.1", kLocal, Opts(second)));
                EXPECT_LT(Clock::now() - t0, std::chrono::milliseconds(200));
                EXPECT_TRUE(Exists(kLocal));
                Request rq2;
                if (second.WaitRequest(&rq2, 100))
                    ++second_requests;

                for (uint16_t b = 2; b <= 4; ++b) {
                    ASSERT_TRUE(first.Send(Data(b, content.substr((b - 1) * 512, 512))));
                    ASSERT_TRUE(first.ExpectAck(b));
                }
            });
            EXPECT_EQ(TFTP_OK, Get("127.0.0.1", kLocal, Opts(first, 512, 2)));
        }
        EXPECT_EQ(0, second_requests);
        EXPECT_EQ(content, ReadFile(kLocal));
    });
}

TEST(TftpParameters, RefusedBeforeAnythingIsTouched)
{
    nsfixture::Run([] {
        FakeServer s;
        tftp_options good = Opts(s);
        EXPECT_EQ(TFTP_BAD_PARAMETER, tftp_get(nullptr, kLocal, &good));
        EXPECT_EQ(TFTP_BAD_PARAMETER, tftp_get("", kLocal, &good));
        EXPECT_EQ(TFTP_BAD_PARAMETER, tftp_get("127.0.0.1", nullptr, &good));
        EXPECT_EQ(TFTP_BAD_PARAMETER, tftp_get("127.0.0.1", "", &good));
        EXPECT_EQ(TFTP_BAD_PARAMETER, tftp_get("127.0.0.1", kLocal, nullptr));

        for (const char *port : {"", "0", "65536", "80x", "-1"}) {
            tftp_options o = good;
            snprintf(o.port, sizeof o.port, "%s", port);
            EXPECT_EQ(TFTP_BAD_PARAMETER, tftp_get("127.0.0.1", kLocal, &o)) << port;
        }
        tftp_options o = good;
        memset(o.port, '1', sizeof o.port);  // no terminator
        EXPECT_EQ(TFTP_BAD_PARAMETER, tftp_get("127.0.0.1", kLocal, &o));

        o = good;
        memset(o.remotefile, 'a', sizeof o.remotefile);
        o.remotefile[0] = '/';
        EXPECT_EQ(TFTP_BAD_PARAMETER, tftp_get("127.0.0.1", kLocal, &o));
        o = good;
        snprintf(o.remotefile, sizeof o.remotefile, "noslash");
        EXPECT_EQ(TFTP_BAD_PARAMETER, tftp_get("127.0.0.1", kLocal, &o));

        // The remote path field takes 79 characters; a longer path is refused, not cut.
        const std::string fits = "/" + std::string(78, 'p'), too_long = "/" + std::string(79, 'p');
        EXPECT_EQ(0, tftp_set_remotefile(&o, fits.c_str()));
        EXPECT_EQ(fits, o.remotefile);
        EXPECT_EQ(-1, tftp_set_remotefile(&o, too_long.c_str()));
        EXPECT_EQ(fits, o.remotefile);

        ExpectNoLeftovers();
        Request rq;
        EXPECT_FALSE(s.WaitRequest(&rq, 50));
    });
}

TEST(TftpParameters, UnwritableLocalFile)
{
    nsfixture::Run([] {
        FakeServer s;
        EXPECT_EQ(TFTP_FAILED, Get("127.0.0.1", "/var/tmp/none/fw.bin", Opts(s)));
        ASSERT_EQ(0, mkdir("/var/tmp/dir.bin", 0755));
        EXPECT_EQ(TFTP_FAILED, Get("127.0.0.1", "/var/tmp/dir.bin", Opts(s)));
        EXPECT_FALSE(Exists("/var/tmp/dir.binxfer_fw.!lock"));
    });
}

}  // namespace
