// Collector: a small report collection server for demos and tests, on 127.0.0.1 only.
//
//   Collector [--port N] [--data DIR] [--status N] [--event-status N] [--delay-ms N]
//             [--read-delay-ms N] [--hold-after-bytes N] [--retry-after TEXT] [--report-id TEXT]
//
// POST /submit/ and /submit_script_errors/ (multipart/form-data): every part with a file name is
// streamed to disk, every other part is a field. Each upload becomes a folder
// DIR/reports/<NNNN>/ holding the file(s), "fields.json" (the fields as one JSON object, keys in
// arrival order) and "meta.json" (path, query, User-Agent, answer status, file names and sizes). Uploads are
// answered with --status (default 200) after --delay-ms; every attempt is stored, so retries can be counted.
// --read-delay-ms makes the collector read uploads slowly (that long a piece), so that a sender can
// be stopped mid-upload; meta.json's "complete" tells a whole upload from a cut one.
// --hold-after-bytes stops reading the first upload after that many bytes: the collector then makes
// the file DIR/holding and reads on once DIR/release exists. --retry-after
// adds a Retry-After header to answers other than 200; the body of a 200 answer is --report-id
// (default "OK").
//
// POST or PUT to any other /<index>/... path: an event document. Its body is kept byte for byte in
// DIR/events/<NNNN>.json and appended, as a JSON string, to DIR/events.jsonl; the answer is an
// Elasticsearch-style 201 JSON document (or --event-status).
//
// GET /: a plain HTML index of what arrived. Prints "Collector listening on 127.0.0.1:<port>" when
// ready; SIGINT or SIGTERM stops it.

#include <httplib.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <limits>
#include <mutex>
#include <pthread.h>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <vector>

namespace fs = std::filesystem;

namespace
{
struct Options
{
    int port = 0;
    std::string data = "collector-data";
    int uploadStatus = 200;
    int eventStatus = 201;
    int delayMs = 0;
    int readDelayMs = 0;
    uint64_t holdAfterBytes = 0;
    std::string retryAfter;
    std::string reportId = "OK";
};

std::mutex g_mutex; // numbering, events.jsonl and the console
std::atomic<bool> g_held{false};

int g_nextReport = 1;
int g_nextEvent = 1;

std::string JsonString(const std::string& s)
{
    std::string out = "\"";
    for (unsigned char c : s)
    {
        switch (c)
        {
        case '"':
            out += "\\\"";
            break;
        case '\\':
            out += "\\\\";
            break;
        case '\n':
            out += "\\n";
            break;
        case '\r':
            out += "\\r";
            break;
        case '\t':
            out += "\\t";
            break;
        default:
            if (c < 0x20 || c == 0x7F)
            {
                char buf[8];
                std::snprintf(buf, sizeof(buf), "\\u%04x", c);
                out += buf;
            }
            else
                out += static_cast<char>(c);
        }
    }
    return out + "\"";
}

std::string HtmlEscape(const std::string& s)
{
    std::string out;
    for (char c : s)
    {
        switch (c)
        {
        case '<':
            out += "&lt;";
            break;
        case '>':
            out += "&gt;";
            break;
        case '&':
            out += "&amp;";
            break;
        case '"':
            out += "&quot;";
            break;
        default:
            out += c;
        }
    }
    return out;
}

// The last path component of a client-supplied file name, made safe as a name inside a folder.
std::string SafeFileName(const std::string& name)
{
    size_t cut = name.find_last_of("/\\");
    std::string base = cut == std::string::npos ? name : name.substr(cut + 1);
    for (char& c : base)
        if (static_cast<unsigned char>(c) < 0x20 || c == ':')
            c = '_';
    if (base.empty() || base == "." || base == "..")
        base = "upload.bin";
    if (base == "fields.json" || base == "meta.json")
        base = "file_" + base;
    return base;
}

std::string Numbered(int n)
{
    char buf[16];
    std::snprintf(buf, sizeof(buf), "%04d", n);
    return buf;
}

// The first free number in a folder whose entries are named by number (optionally with a suffix).
int FirstFreeNumber(const fs::path& dir)
{
    int next = 1;
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(dir, ec))
    {
        int n = std::atoi(entry.path().stem().string().c_str());
        if (n >= next)
            next = n + 1;
    }
    return next;
}

void Log(const std::string& line)
{
    std::lock_guard<std::mutex> lock(g_mutex);
    std::printf("%s\n", line.c_str());
    std::fflush(stdout);
}

bool WriteFile(const fs::path& path, const std::string& content)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(content.data(), static_cast<std::streamsize>(content.size()));
    return static_cast<bool>(out);
}

// Stops reading an upload: says so with the file DIR/holding, and goes on once DIR/release exists
// (or after a minute).
void HoldUntilReleased(const Options& opt)
{
    WriteFile(fs::path(opt.data) / "holding", "");
    for (int i = 0; i < 3000 && !fs::exists(fs::path(opt.data) / "release"); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
}

void HandleUpload(const Options& opt, const httplib::Request& req, httplib::Response& res,
                  const httplib::ContentReader& reader)
{
    if (!req.is_multipart_form_data())
    {
        res.status = 400;
        res.set_content("expected multipart/form-data\n", "text/plain");
        Log("Collector: " + req.method + " " + req.path + " -> 400 (not multipart)");
        return;
    }
    int number;
    {
        std::lock_guard<std::mutex> lock(g_mutex);
        number = g_nextReport++;
    }
    fs::path folder = fs::path(opt.data) / "reports" / Numbered(number);
    std::error_code ec;
    fs::create_directories(folder, ec);

    struct Field
    {
        std::string name, value;
    };
    struct FilePart
    {
        std::string field, name, contentType;
        uint64_t size = 0;
    };
    std::vector<Field> fields;
    std::vector<FilePart> files;
    std::ofstream current;
    bool inFile = false;
    bool writeOk = true;
    uint64_t received = 0;
    // Only the first upload is held, so that others can arrive while it waits.
    bool holdThis = opt.holdAfterBytes > 0 && !g_held.exchange(true);
    bool readOk = reader(
        [&](const httplib::MultipartFormData& part)
        {
            if (current.is_open())
                current.close();
            inFile = !part.filename.empty();
            if (inFile)
            {
                std::string name = SafeFileName(part.filename);
                // Two file parts with the same name keep both.
                for (const FilePart& f : files)
                    if (f.name == name)
                        name = Numbered(static_cast<int>(files.size())) + "_" + name;
                files.push_back({part.name, name, part.content_type, 0});
                current.open(folder / name, std::ios::binary | std::ios::trunc);
                writeOk = writeOk && current.is_open();
            }
            else
                fields.push_back({part.name, ""});
            return true;
        },
        [&](const char* data, size_t n)
        {
            if (opt.readDelayMs > 0)
                std::this_thread::sleep_for(std::chrono::milliseconds(opt.readDelayMs));
            received += n;
            if (holdThis && received >= opt.holdAfterBytes)
            {
                holdThis = false;
                HoldUntilReleased(opt);
            }
            if (inFile)
            {
                current.write(data, static_cast<std::streamsize>(n));
                files.back().size += n;
                writeOk = writeOk && static_cast<bool>(current);
            }
            else if (!fields.empty())
                fields.back().value.append(data, n);
            return true;
        });
    if (current.is_open())
        current.close();

    std::string fieldsJson = "{";
    for (size_t i = 0; i < fields.size(); ++i)
        fieldsJson += (i ? ", " : "") + JsonString(fields[i].name) + ": " + JsonString(fields[i].value);
    fieldsJson += "}\n";

    if (opt.delayMs > 0)
        std::this_thread::sleep_for(std::chrono::milliseconds(opt.delayMs));
    int status = opt.uploadStatus;
    if (!readOk)
        status = 400;
    else if (!writeOk)
        status = 500;

    // The query as it arrived (httplib keeps its fields sorted by name), and who sent it.
    std::string query;
    for (const auto& [key, value] : req.params)
        query += (query.empty() ? "" : "&") + key + "=" + value;
    std::string meta = "{\"path\": " + JsonString(req.path) + ", \"query\": " + JsonString(query) +
                       ", \"userAgent\": " + JsonString(req.get_header_value("User-Agent")) +
                       ", \"status\": " + std::to_string(status) +
                       ", \"complete\": " + (readOk ? "true" : "false") + ", \"files\": [";
    for (size_t i = 0; i < files.size(); ++i)
        meta += std::string(i ? ", " : "") + "{\"field\": " + JsonString(files[i].field) +
                ", \"name\": " + JsonString(files[i].name) +
                ", \"contentType\": " + JsonString(files[i].contentType) +
                ", \"size\": " + std::to_string(files[i].size) + "}";
    meta += "]}\n";
    WriteFile(folder / "fields.json", fieldsJson);
    WriteFile(folder / "meta.json", meta);

    res.status = status;
    if (status != 200 && !opt.retryAfter.empty())
        res.set_header("Retry-After", opt.retryAfter);
    res.set_content(status == 200 ? opt.reportId + "\n" : "rejected\n", "text/plain");
    Log("Collector: report " + Numbered(number) + " " + req.method + " " + req.path + " -> " +
        std::to_string(status) + " (" + std::to_string(fields.size()) + " fields, " +
        std::to_string(files.size()) + " files) in " + folder.string());
}

void HandleEvent(const Options& opt, const httplib::Request& req, httplib::Response& res,
                 const httplib::ContentReader& reader)
{
    std::string body;
    reader(
        [&](const char* data, size_t n)
        {
            body.append(data, n);
            return true;
        });
    std::string path = req.path;
    size_t second = path.find('/', 1);
    std::string index = path.substr(1, second == std::string::npos ? std::string::npos : second - 1);

    int number;
    {
        std::lock_guard<std::mutex> lock(g_mutex);
        number = g_nextEvent++;
        std::error_code ec;
        fs::create_directories(fs::path(opt.data) / "events", ec);
        WriteFile(fs::path(opt.data) / "events" / (Numbered(number) + ".json"), body);
        std::ofstream lines(fs::path(opt.data) / "events.jsonl", std::ios::binary | std::ios::app);
        lines << "{\"index\": " << JsonString(index) << ", \"method\": " << JsonString(req.method)
              << ", \"path\": " << JsonString(path)
              << ", \"userAgent\": " << JsonString(req.get_header_value("User-Agent"))
              << ", \"contentType\": " << JsonString(req.get_header_value("Content-Type"))
              << ", \"body\": " << JsonString(body) << "}\n";
    }
    if (opt.delayMs > 0)
        std::this_thread::sleep_for(std::chrono::milliseconds(opt.delayMs));
    res.status = opt.eventStatus;
    std::string id = Numbered(number);
    res.set_content("{\"_index\":" + JsonString(index) + ",\"_id\":\"" + id +
                        "\",\"_version\":1,\"result\":\"created\",\"_shards\":{\"total\":1,\"successful\":1,"
                        "\"failed\":0},\"_seq_no\":" +
                        std::to_string(number - 1) + ",\"_primary_term\":1}",
                    "application/json");
    Log("Collector: event " + id + " " + req.method + " " + path + " -> " + std::to_string(res.status) +
        " (" + std::to_string(body.size()) + " bytes)");
}

void HandleIndex(const Options& opt, httplib::Response& res)
{
    std::string html =
        "<!DOCTYPE html>\n<html><head><meta charset=\"utf-8\"><title>Collector</title></head><body>\n"
        "<h1>Collector</h1>\n<h2>Reports</h2>\n<ul>\n";
    std::error_code ec;
    std::vector<fs::path> reports;
    for (const auto& e : fs::directory_iterator(fs::path(opt.data) / "reports", ec))
        reports.push_back(e.path());
    std::sort(reports.begin(), reports.end());
    for (const fs::path& r : reports)
    {
        std::ifstream in(r / "fields.json");
        std::string fields((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        html +=
            "<li>" + HtmlEscape(r.filename().string()) + ": <code>" + HtmlEscape(fields) + "</code></li>\n";
    }
    html += "</ul>\n<h2>Events</h2>\n<ul>\n";
    std::ifstream lines(fs::path(opt.data) / "events.jsonl");
    for (std::string line; std::getline(lines, line);)
        html += "<li><code>" + HtmlEscape(line) + "</code></li>\n";
    html += "</ul>\n</body></html>\n";
    res.set_content(html, "text/html; charset=utf-8");
}

bool ParseInt(const char* text, int lo, int hi, int& out)
{
    char* end = nullptr;
    errno = 0;
    long v = std::strtol(text, &end, 10);
    if (errno != 0 || end == text || *end != 0 || v < lo || v > hi)
        return false;
    out = static_cast<int>(v);
    return true;
}

int Usage(const char* why)
{
    std::fprintf(
        stderr,
        "Collector: %s\nusage: Collector [--port N] [--data DIR] [--status N] [--event-status N] "
        "[--delay-ms N] [--read-delay-ms N] [--hold-after-bytes N] [--retry-after TEXT] [--report-id TEXT]\n",
        why);
    return 2;
}
} // namespace

int main(int argc, char** argv)
{
    Options opt;
    for (int i = 1; i < argc; ++i)
    {
        std::string a = argv[i];
        if (a == "--help" || a == "-h")
        {
            Usage("a report collection server on 127.0.0.1");
            return 0;
        }
        if (i + 1 >= argc)
            return Usage(("missing value for " + a).c_str());
        const char* v = argv[++i];
        bool ok = true;
        if (a == "--port")
            ok = ParseInt(v, 0, 65535, opt.port);
        else if (a == "--data")
            opt.data = v;
        else if (a == "--status")
            ok = ParseInt(v, 100, 599, opt.uploadStatus);
        else if (a == "--event-status")
            ok = ParseInt(v, 100, 599, opt.eventStatus);
        else if (a == "--delay-ms")
            ok = ParseInt(v, 0, 3600000, opt.delayMs);
        else if (a == "--read-delay-ms")
            ok = ParseInt(v, 0, 60000, opt.readDelayMs);
        else if (a == "--hold-after-bytes")
        {
            int bytes = 0;
            ok = ParseInt(v, 1, 1 << 30, bytes);
            opt.holdAfterBytes = static_cast<uint64_t>(bytes);
        }
        else if (a == "--retry-after")
            opt.retryAfter = v;
        else if (a == "--report-id")
            opt.reportId = v;
        else
            return Usage(("unknown option " + a).c_str());
        if (!ok)
            return Usage(("bad value for " + a + ": " + v).c_str());
    }
    std::error_code ec;
    fs::create_directories(fs::path(opt.data) / "reports", ec);
    if (ec)
        return Usage(("cannot create " + opt.data + ": " + ec.message()).c_str());
    g_nextReport = FirstFreeNumber(fs::path(opt.data) / "reports");
    g_nextEvent = FirstFreeNumber(fs::path(opt.data) / "events");

    // Signals are taken by one thread with sigwait, so stopping never runs inside a handler.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
    std::signal(SIGPIPE, SIG_IGN);

    httplib::Server server;
    server.set_payload_max_length(std::numeric_limits<size_t>::max());
    // Idle keep-alive connections hold a worker until they time out, and stopping waits for every
    // worker: a short limit keeps shutdown quick.
    server.set_keep_alive_timeout(1);
    if (opt.readDelayMs > 0 || opt.holdAfterBytes > 0)
    {
        // A slow reader must not take whole uploads into the kernel's buffers (they grow to
        // megabytes on loopback): a small fixed receive buffer keeps the sender waiting for it.
        server.set_socket_options(
            [](int sock)
            {
                int one = 1;
                setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one));
                int bytes = 16384;
                setsockopt(sock, SOL_SOCKET, SO_RCVBUF, &bytes, sizeof(bytes));
            });
    }
    server.Get("/", [&](const httplib::Request&, httplib::Response& res) { HandleIndex(opt, res); });
    auto upload = [&](const httplib::Request& req, httplib::Response& res,
                      const httplib::ContentReader& reader) { HandleUpload(opt, req, res, reader); };
    auto event = [&](const httplib::Request& req, httplib::Response& res,
                     const httplib::ContentReader& reader) { HandleEvent(opt, req, res, reader); };
    // Handlers are matched in the order they were added: the upload paths first.
    server.Post("/submit/?", upload);
    server.Post("/submit_script_errors/?", upload);
    server.Post("/[^/]+/.*", event);
    server.Put("/[^/]+/.*", event);
    server.Post("/[^/]+", event);

    int port = opt.port;
    if (port == 0)
        port = server.bind_to_any_port("127.0.0.1");
    else if (!server.bind_to_port("127.0.0.1", port))
        port = -1;
    if (port <= 0)
    {
        std::fprintf(stderr, "Collector: cannot listen on 127.0.0.1:%d\n", opt.port);
        return 1;
    }

    std::atomic<bool> signalled{false};
    std::atomic<bool> listenEnded{false};
    std::thread stopper(
        [&]
        {
            int sig = 0;
            sigwait(&stopSignals, &sig);
            signalled = true;
            // A stop asked for before the server runs would be lost (and the server would then run
            // for ever): a signal right after the ready line waits for the server to be running.
            while (!server.is_running() && !listenEnded)
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            server.stop();
        });
    Log("Collector listening on 127.0.0.1:" + std::to_string(port));
    server.listen_after_bind();
    listenEnded = true;
    // Wake the signal thread when the server ended on its own.
    if (!signalled)
        pthread_kill(stopper.native_handle(), SIGTERM);
    stopper.join();
    Log("Collector stopped");
    return 0;
}
