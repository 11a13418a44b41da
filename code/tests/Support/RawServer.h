#pragma once
// A TCP server on 127.0.0.1 that misbehaves the way broken or hostile HTTP servers do: it serves
// the connections that arrive (one after another) until the object goes.

#include <arpa/inet.h>
#include <atomic>
#include <cctype>
#include <chrono>
#include <cstdlib>
#include <mutex>
#include <netinet/in.h>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace Morvex::Test
{
class RawServer
{
public:
    enum class Mode
    {
        CloseMidUpload, // reads a little, then closes
        GarbageAnswer,  // reads the request head, then answers bytes that are not HTTP
        Silent,         // reads whatever arrives and never answers
        Trickle,        // reads the request head, then answers one byte a second
        Endless,        // reads the request whole, then answers 200 with a body that never ends
        EndlessUnread,  // the same without reading the request's body
        Proxy,          // a forward proxy that takes every request itself: reads it whole, answers
                        // 200 with "proxied-id", and keeps its request line (RequestLines)
    };

    explicit RawServer(Mode mode)
    {
        m_listen = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        bind(m_listen, reinterpret_cast<sockaddr*>(&addr), sizeof(addr));
        listen(m_listen, 8);
        socklen_t len = sizeof(addr);
        getsockname(m_listen, reinterpret_cast<sockaddr*>(&addr), &len);
        m_port = ntohs(addr.sin_port);
        m_thread = std::thread([this, mode] { Serve(mode); });
    }
    ~RawServer()
    {
        m_stop = true;
        shutdown(m_listen, SHUT_RDWR);
        m_thread.join();
        close(m_listen);
    }
    RawServer(const RawServer&) = delete;
    RawServer& operator=(const RawServer&) = delete;

    std::string Url(const std::string& path = "/submit/") const
    {
        return "http://127.0.0.1:" + std::to_string(m_port) + path;
    }
    // Bytes written as answer bodies so far (Endless, Trickle).
    size_t BodyBytesSent() const { return m_sent.load(); }
    int Connections() const { return m_connections.load(); }
    // The request lines received so far (Proxy), e.g. "POST http://host/submit/ HTTP/1.1".
    std::vector<std::string> RequestLines() const
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_requestLines;
    }

private:
    // Waits for data (or the end) for at most ms; false when stopping.
    bool Readable(int fd, int ms)
    {
        pollfd p{fd, POLLIN, 0};
        return poll(&p, 1, ms) > 0;
    }

    bool WriteAll(int fd, const char* data, size_t n)
    {
        while (n > 0 && !m_stop)
        {
            ssize_t w = send(fd, data, n, MSG_NOSIGNAL);
            if (w <= 0)
                return false;
            data += w;
            n -= static_cast<size_t>(w);
        }
        return !m_stop;
    }

    void Serve(Mode mode)
    {
        while (!m_stop)
        {
            int c = accept4(m_listen, nullptr, nullptr, SOCK_CLOEXEC);
            if (c < 0)
                return;
            ++m_connections;
            ServeOne(c, mode);
            close(c);
        }
    }

    void ServeOne(int c, Mode mode)
    {
        char buf[65536];
        std::string head;
        // The request head (and, for CloseMidUpload, a little of the body).
        while (!m_stop && head.find("\r\n\r\n") == std::string::npos && head.size() < 65536)
        {
            if (!Readable(c, 100))
                continue;
            ssize_t n = read(c, buf, sizeof(buf));
            if (n <= 0)
                return;
            head.append(buf, static_cast<size_t>(n));
        }
        switch (mode)
        {
        case Mode::CloseMidUpload:
            return;
        case Mode::Proxy:
            ServeProxied(c, head);
            return;
        case Mode::GarbageAnswer:
        {
            const char junk[] = {0x00, static_cast<char>(0xFF), 0x17, 0x03, 0x03, 'x', '\r', '\n', '\r',
                                 '\n'};
            WriteAll(c, junk, sizeof(junk));
            return;
        }
        case Mode::Silent:
            while (!m_stop)
            {
                if (!Readable(c, 100))
                    continue;
                if (read(c, buf, sizeof(buf)) <= 0)
                    return;
            }
            return;
        case Mode::Trickle:
        {
            const char answer[] = "HTTP/1.1 200 OK\r\nContent-Length: 100000\r\n\r\n";
            if (!WriteAll(c, answer, sizeof(answer) - 1))
                return;
            for (int i = 0; i < 100000 && !m_stop; ++i)
            {
                for (int t = 0; t < 10 && !m_stop; ++t)
                    std::this_thread::sleep_for(std::chrono::milliseconds(100));
                if (!WriteAll(c, "x", 1))
                    return;
                ++m_sent;
            }
            return;
        }
        case Mode::Endless:
        case Mode::EndlessUnread:
        {
            // A server that answers only once the request is in: the client has sent it whole, so
            // the answer is all that is tested (EndlessUnread answers before).
            if (mode == Mode::Endless && !ReadRequestBody(c, head))
                return;
            const char answer[] = "HTTP/1.1 200 OK\r\nContent-Type: application/octet-stream\r\n\r\n";
            if (!WriteAll(c, answer, sizeof(answer) - 1))
                return;
            std::string chunk(65536, 'e');
            // The request body (an upload) is drained on the side so the client never blocks, unless
            // the server is one that answers without reading.
            while (!m_stop)
            {
                while (mode == Mode::Endless && Readable(c, 0) && read(c, buf, sizeof(buf)) > 0)
                {
                }
                if (!WriteAll(c, chunk.data(), chunk.size()))
                    return;
                m_sent += chunk.size();
            }
            return;
        }
        }
    }

    // Reads the rest of a request whose head (and maybe some body) is in `head`, then answers it.
    // Bodies come with a Content-Length or chunked; connections are closed after each answer.
    void ServeProxied(int c, const std::string& head)
    {
        if (head.find("\r\n\r\n") == std::string::npos)
            return;
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_requestLines.push_back(head.substr(0, head.find("\r\n")));
        }
        if (!ReadRequestBody(c, head))
            return;
        const char answer[] =
            "HTTP/1.1 200 OK\r\nContent-Length: 11\r\nConnection: close\r\n\r\nproxied-id\n";
        WriteAll(c, answer, sizeof(answer) - 1);
    }

    // Reads the rest of the request whose head (and maybe some body) is in `head`: a body of
    // Content-Length bytes, or chunked. False when the connection ended first.
    bool ReadRequestBody(int c, const std::string& head)
    {
        const size_t headEnd = head.find("\r\n\r\n");
        if (headEnd == std::string::npos)
            return false;
        std::string lower = head.substr(0, headEnd);
        for (char& ch : lower)
            ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
        if (lower.find("expect: 100-continue") != std::string::npos &&
            !WriteAll(c, "HTTP/1.1 100 Continue\r\n\r\n", 25))
            return false;
        std::string body = head.substr(headEnd + 4);
        const size_t length = lower.find("content-length:");
        const bool chunked = lower.find("transfer-encoding: chunked") != std::string::npos;
        const size_t want =
            length != std::string::npos ? std::strtoull(lower.c_str() + length + 15, nullptr, 10) : 0;
        char buf[65536];
        while (!m_stop &&
               (chunked ? body.find("\r\n0\r\n\r\n") == std::string::npos && body.rfind("0\r\n\r\n", 0) != 0
                        : body.size() < want))
        {
            if (!Readable(c, 100))
                continue;
            ssize_t n = read(c, buf, sizeof(buf));
            if (n <= 0)
                return false;
            body.append(buf, static_cast<size_t>(n));
        }
        return !m_stop;
    }

    mutable std::mutex m_mutex;
    std::vector<std::string> m_requestLines;
    int m_listen = -1;
    int m_port = 0;
    std::atomic<bool> m_stop{false};
    std::atomic<size_t> m_sent{0};
    std::atomic<int> m_connections{0};
    std::thread m_thread;
};
} // namespace Morvex::Test
