#pragma once

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>
#include <vector>

namespace TestSupport {

// A plain listening socket at a path; the test accepts, reads and writes by
// hand, as a peer that keeps to no protocol.
class Listener {
public:
    explicit Listener(const std::string &where) : path(where)
    {
        sockaddr_un address = {};
        address.sun_family = AF_UNIX;
        std::memcpy(address.sun_path, path.c_str(), path.size());
        fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        EXPECT_EQ(::bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof address), 0);
        EXPECT_EQ(::listen(fd, 4), 0);
    }
    ~Listener()
    {
        if (conn >= 0)
            ::close(conn);
        ::close(fd);
    }
    Listener(const Listener &) = delete;
    Listener &operator=(const Listener &) = delete;

    // Replaces the connection taken before.
    int accept()
    {
        if (conn >= 0)
            ::close(conn);
        return conn = ::accept4(fd, nullptr, nullptr, SOCK_CLOEXEC);
    }
    bool write(const std::vector<std::byte> &bytes)
    {
        return ::send(conn, bytes.data(), bytes.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(bytes.size());
    }

    std::string path;
    int fd = -1;
    int conn = -1;
};

} // namespace TestSupport
