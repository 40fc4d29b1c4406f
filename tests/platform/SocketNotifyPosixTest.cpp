// A socket's notifications: one per request, and no bytes left waiting
// without one, whether they came before the request, while no request was
// out, or stayed behind a read that filled its buffer.
#include "platform/Messages.h"
#include "platform/Socket.h"

#include <gtest/gtest.h>

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <utility>

namespace {

using namespace platform;

constexpr const char* kClass = "SocketNotifyTestClass";
constexpr UINT kReady = WM_USER + 7;

LRESULT Proc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) { return DefWindowProc(hwnd, msg, wParam, lParam); }

class SocketNotifyTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(RegisterClass(WNDCLASS{kClass, Proc, 0}));
        window_ = CreateHiddenWindow(kClass);
        ASSERT_NE(window_, 0u);
        listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        ASSERT_EQ(::bind(listener_, reinterpret_cast<sockaddr*>(&address), length), 0);
        ASSERT_EQ(::listen(listener_, 1), 0);
        ASSERT_EQ(::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length), 0);
        int error = 0;
        client_ = ConnectTcp("127.0.0.1", ntohs(address.sin_port), error);
        ASSERT_NE(client_, INVALID_SOCKET);
        ASSERT_TRUE(AsyncSelect(client_, window_, kReady, 5, FD_CONNECT));
        const auto connected = Next();
        ASSERT_TRUE(connected);
        EXPECT_EQ(SelectEvent(*connected), FD_CONNECT);
        EXPECT_EQ(SelectError(*connected), 0);
        peer_ = ::accept(listener_, nullptr, nullptr);
        ASSERT_GE(peer_, 0);
    }
    void TearDown() override {
        if (client_ != INVALID_SOCKET)
            CloseSocket(client_);
        for (const int fd : {peer_, listener_})
            if (fd >= 0)
                ::close(fd);
        DestroyWindow(window_);
        MSG msg;
        while (PeekMessage(&msg, 0, 0, 0, PM_REMOVE)) {
        }
        UnregisterClass(kClass);
    }

    // The lParam of the next notification within waitMs, if one comes.
    std::optional<LPARAM> Next(DWORD waitMs = 2000) {
        const std::uint64_t end = GetTickCount64() + waitMs;
        for (;;) {
            MSG msg;
            if (PeekMessage(&msg, window_, kReady, kReady, PM_REMOVE)) {
                EXPECT_EQ(msg.wParam, 5u);
                return msg.lParam;
            }
            const std::uint64_t now = GetTickCount64();
            if (now >= end)
                return std::nullopt;
            MsgWaitForMultipleObjects(0, nullptr, false, static_cast<DWORD>(end - now), QS_ALLINPUT);
        }
    }
    void PeerSends(std::string_view bytes) {
        ASSERT_EQ(::send(peer_, bytes.data(), bytes.size(), MSG_NOSIGNAL), static_cast<ssize_t>(bytes.size()));
    }
    int Read(std::span<std::uint8_t> buffer) {
        int error = 0;
        return Receive(client_, buffer, error);
    }
    bool Ask() { return AsyncSelect(client_, window_, kReady, 5, FD_READ); }

    HWND window_ = 0;
    int listener_ = -1;
    int peer_ = -1;
    SOCKET client_ = INVALID_SOCKET;
};

TEST_F(SocketNotifyTest, EveryRequestIsAnsweredOnceAndNoBytesWaitUntold) {
    std::array<std::uint8_t, 2> small{};
    std::array<std::uint8_t, 64> big{};

    // Bytes, then one notification for them and no more until asked again.
    ASSERT_TRUE(Ask());
    PeerSends("abc");
    auto ready = Next();
    ASSERT_TRUE(ready);
    EXPECT_EQ(SelectEvent(*ready), FD_READ);
    PeerSends("d");
    EXPECT_FALSE(Next(100));

    // Asked again with the bytes unread: told at once.
    ASSERT_TRUE(Ask());
    EXPECT_TRUE(Next());
    // A read that filled its buffer left bytes behind: told again.
    EXPECT_EQ(Read(small), 2);
    ASSERT_TRUE(Ask());
    EXPECT_TRUE(Next());
    EXPECT_EQ(Read(big), 2);
    // Everything taken: asking again tells nothing until bytes come.
    ASSERT_TRUE(Ask());
    EXPECT_FALSE(Next(100));
    PeerSends("e");
    EXPECT_TRUE(Next());
    EXPECT_EQ(Read(big), 1);

    // Bytes that come after the read, while no request is out (the thread
    // looks at its sockets meanwhile), are told when it asks.
    PeerSends("f");
    EXPECT_FALSE(Next(100));
    ASSERT_TRUE(Ask());
    EXPECT_TRUE(Next());
    EXPECT_EQ(Read(big), 1);

    // The peer's close is told too, and Receive reports it.
    ASSERT_TRUE(Ask());
    ::close(std::exchange(peer_, -1));
    ready = Next();
    ASSERT_TRUE(ready);
    EXPECT_EQ(SelectEvent(*ready), FD_READ);
    EXPECT_EQ(Read(big), RECEIVE_CLOSED);
}

} // namespace
