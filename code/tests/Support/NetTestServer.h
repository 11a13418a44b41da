#pragma once
// A real HTTP(S) server on 127.0.0.1 for the network tests, plus what it saw.

#include <httplib.h>
// <arpa/nameser.h>, pulled in by the server library, defines DELETE as a macro.
#ifdef DELETE
#undef DELETE
#endif

#include <chrono>
#include <limits>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace Morvex::Test
{
// One request as the server received it.
struct SeenRequest
{
    std::string method;
    std::string path;
    std::string body;
    std::string expect;      // the Expect header, empty when absent
    std::string contentType; // the Content-Type header
    struct Part
    {
        std::string name, filename, contentType, content;
    };
    std::vector<Part> parts; // multipart bodies, in arrival order
};

// Runs a server on a free port of 127.0.0.1 in a thread of its own, from Start() until the object
// goes. Handlers are set on server() before Start().
class NetTestServer
{
public:
    NetTestServer() : m_server(std::make_unique<httplib::Server>()) { Configure(); }
    // TLS server with the given certificate and key; clientCa: require client certificates
    // signed by that file.
    NetTestServer(const std::string& cert, const std::string& key, const std::string& clientCa = "")
        : m_server(std::make_unique<httplib::SSLServer>(cert.c_str(), key.c_str(),
                                                        clientCa.empty() ? nullptr : clientCa.c_str()))
    {
    }
    ~NetTestServer() { Stop(); }

    httplib::Server& server() { return *m_server; }

    int Start()
    {
        m_port = m_server->bind_to_any_port("127.0.0.1");
        m_thread = std::thread([this] { m_server->listen_after_bind(); });
        for (int i = 0; i < 500 && !m_server->is_running(); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        return m_port;
    }
    void Stop()
    {
        if (m_thread.joinable())
        {
            m_server->stop();
            m_thread.join();
        }
    }
    int port() const { return m_port; }
    std::string Url(const std::string& path, const char* scheme = "http") const
    {
        return std::string(scheme) + "://127.0.0.1:" + std::to_string(m_port) + path;
    }

    // Records a request (thread-safe; handlers run on the server's pool).
    void Record(SeenRequest r)
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_seen.push_back(std::move(r));
    }
    std::vector<SeenRequest> Seen()
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_seen;
    }
    void ClearSeen()
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_seen.clear();
    }

    static SeenRequest FromRequest(const httplib::Request& req)
    {
        SeenRequest r;
        r.method = req.method;
        r.path = req.path;
        r.body = req.body;
        r.expect = req.get_header_value("Expect");
        r.contentType = req.get_header_value("Content-Type");
        return r;
    }

    // Reads a body through a content reader: multipart parts in order, or the raw body.
    static SeenRequest ReadStreamed(const httplib::Request& req, const httplib::ContentReader& reader)
    {
        SeenRequest r = FromRequest(req);
        if (req.is_multipart_form_data())
        {
            reader(
                [&](const httplib::MultipartFormData& file)
                {
                    r.parts.push_back({file.name, file.filename, file.content_type, ""});
                    return true;
                },
                [&](const char* data, size_t n)
                {
                    r.parts.back().content.append(data, n);
                    return true;
                });
        }
        else
        {
            reader(
                [&](const char* data, size_t n)
                {
                    r.body.append(data, n);
                    return true;
                });
        }
        return r;
    }

private:
    void Configure()
    {
        // Large uploads are part of the tests; the library's default limit would answer 413.
        m_server->set_payload_max_length(std::numeric_limits<size_t>::max());
        // Stopping waits for idle keep-alive connections to time out.
        m_server->set_keep_alive_timeout(1);
    }

    std::unique_ptr<httplib::Server> m_server;
    std::thread m_thread;
    int m_port = 0;
    std::mutex m_mutex;
    std::vector<SeenRequest> m_seen;
};

// A self-signed certificate and key (PEM files) for CN 127.0.0.1, made with the openssl tool.
bool MakeSelfSignedCert(const std::string& certPath, const std::string& keyPath,
                        const std::string& commonName);
// A port on 127.0.0.1 that nothing listens on (bound once, then closed).
int ClosedPort();
} // namespace Morvex::Test
