// mqtt_bench: figures for the MQTT bridge, measured on the built connector.
//
// It starts a mosquitto broker on 127.0.0.1 (an ephemeral port, no persistence) and
// build/quorvel with [MQTT] pointing at it, and plays the CM11A itself over TCP (the same
// instant-answer interface as e2e_bench), so that the first byte of each command can be
// time-stamped precisely. A libmosquitto client in this process publishes the commands.
//
//   1. set to wire: "<prefix>/<device>/set ON" handed to the client library -> the header
//      byte 0x04 of the command's address frame reaches the interface; one after another.
//   2. memory: the connector's VmRSS once connected, and again once all 256 X10 devices have
//      been switched (and so discovered: 256 retained Home Assistant configs seen).
//
// It only prints figures; nothing here is a test. As root it re-runs itself inside a private
// network namespace (only 'lo'). Every wait is bounded; the children are ended by their PIDs.

#include <mosquitto.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <filesystem>
#include <fstream>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

extern char** environ;

#include "bench_support.h"

namespace {

using namespace quorvel::bench;

namespace fs = std::filesystem;

constexpr const char* kNamespaceMark = "QUORVEL_MQTT_BENCH_IN_NAMESPACE";
constexpr const char* kPrefix = "quorvel/bench";

constexpr std::uint8_t kUnitCodes[16] = {0x6, 0xE, 0x2, 0xA, 0x1, 0x9, 0x5, 0xD,
                                         0x7, 0xF, 0x3, 0xB, 0x0, 0x8, 0x4, 0xC};
// Address byte of device index 0..255 (A1..P16): house code high, unit code low.
std::uint8_t AddressByte(int index) {
    return static_cast<std::uint8_t>(kUnitCodes[index / 16] << 4 | kUnitCodes[index % 16]);
}
std::string DeviceName(int index) {
    return std::string(1, static_cast<char>('A' + index / 16)) + std::to_string(index % 16 + 1);
}

int FreeTcpPort() {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a = Loopback(0);
    socklen_t len = sizeof a;
    int port = 0;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) == 0) {
        port = ntohs(a.sin_port);
    }
    ::close(fd);
    return port;
}

fs::path FindProgram(const std::string& name) {
    for (const char* dir : {"/usr/sbin", "/usr/bin", "/usr/local/sbin", "/usr/local/bin"}) {
        const auto p = fs::path(dir) / name;
        if (::access(p.c_str(), X_OK) == 0) return p;
    }
    return {};
}

void WriteText(const fs::path& p, const std::string& text) {
    fs::create_directories(p.parent_path());
    std::ofstream(p, std::ios::binary) << text;
}

std::string ReadText(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

// The commanding client: publishes, and counts the discovery configs it sees.
struct Client {
    mosquitto* m = nullptr;
    std::set<std::string> configs;

    static void OnMessage(mosquitto*, void* self, const mosquitto_message* msg) {
        if (msg->payloadlen > 0) static_cast<Client*>(self)->configs.insert(msg->topic);
    }
    explicit Client(int port) {
        mosquitto_lib_init();
        m = mosquitto_new(nullptr, true, this);
        if (m == nullptr) Die("mosquitto_new");
        mosquitto_message_callback_set(m, &Client::OnMessage);
        mosquitto_int_option(m, MOSQ_OPT_TCP_NODELAY, 1);  // no Nagle delay behind our own acknowledgements
        if (mosquitto_connect(m, "127.0.0.1", port, 60) != MOSQ_ERR_SUCCESS) Die("bench client cannot connect");
        mosquitto_subscribe(m, nullptr, "homeassistant/light/+/config", 1);
    }
    ~Client() {
        mosquitto_disconnect(m);
        mosquitto_destroy(m);
        mosquitto_lib_cleanup();
    }
    void Set(int index, const char* payload) {
        const std::string topic = std::string(kPrefix) + "/" + DeviceName(index) + "/set";
        mosquitto_publish(m, nullptr, topic.c_str(), static_cast<int>(std::strlen(payload)), payload, 1, false);
        mosquitto_loop_write(m, 1);
    }
    void Pump() { mosquitto_loop(m, 0, 10); }
};

int Run(const fs::path& buildDir, int requests, bool keep) {
    const fs::path broker = FindProgram("mosquitto");
    if (broker.empty()) {
        std::printf("mosquitto is not installed (Debian package mosquitto): nothing measured\n");
        return 1;
    }
    char tmpl[] = "/tmp/quorvel-mqtt-bench-XXXXXX";
    if (::mkdtemp(tmpl) == nullptr) Die("mkdtemp");
    const fs::path dir = tmpl;
    int status = 0;
    {
        const int port = FreeTcpPort();
        WriteText(dir / "broker.conf", "listener " + std::to_string(port) +
                                           " 127.0.0.1\nallow_anonymous true\npersistence false\n");
        Child brokerProc(broker, {"-c", (dir / "broker.conf").string()}, dir, "broker");
        FakeInterface cm11a;
        WriteText(dir / "Config" / "zebXap.ini", "[Interface]\r\nBroadcastAddress=127.255.255.255\r\n");
        WriteText(dir / "Config" / "Quorvel.ini", "[General]\r\nComPort=127.0.0.1:" + std::to_string(cm11a.port()) +
                                                      "\r\nDebug=0\r\n[MQTT]\r\nBroker=127.0.0.1:" +
                                                      std::to_string(port) + "\r\nTopicPrefix=" + kPrefix + "\r\n");
        ::usleep(300000);
        Child quorvel(buildDir / "quorvel", {"--headless", "--app-folder", dir.string()}, dir, "quorvel");
        Client client(port);
        const auto connected = [&] {
            return ReadText(dir / "quorvel.err").find("MQTT connected") != std::string::npos;
        };
        for (double end = NowMs() + 20000; NowMs() < end && !(connected() && cm11a.Connected());) cm11a.Pump(20);
        if (!connected() || !cm11a.Connected()) Die("the connector did not connect to the broker and the interface");
        for (double end = NowMs() + 500; NowMs() < end;) cm11a.Pump(20);  // the power-fail answers
        const long rssStart = RssKb(quorvel.pid());

        std::vector<double> latencies;
        int missing = 0;
        for (int r = 0; r < requests; ++r) {
            const int index = r % 15;  // A1..A15, like e2e_bench
            const double sent = NowMs();
            client.Set(index, "ON");
            double start = -1;
            bool done = false;
            for (double end = sent + 5000; NowMs() < end && !done;) {
                cm11a.Pump(1);
                client.Pump();
                FakeInterface::Event e{};
                while (cm11a.NextEvent(e)) {
                    if (e.kind == FakeInterface::Event::CommandStart && e.code == AddressByte(index) && start < 0)
                        start = e.atMs;
                    if (e.kind == FakeInterface::Event::CommandDone && start >= 0) done = true;
                }
            }
            if (start < 0) ++missing;
            else latencies.push_back(start - sent);
        }
        std::printf("set to wire (%d commands, one after another):\n", requests);
        PrintSummary("MQTT set -> first byte", Summarize(latencies));
        std::printf("  commands not seen on the wire: %d\n", missing);

        // Every device switched once: 256 commands, 256 discovery configs.
        for (int i = 0; i < 256; ++i) client.Set(i, "OFF");
        int done = 0;
        for (double end = NowMs() + 120000; NowMs() < end && (done < 256 || client.configs.size() < 256);) {
            cm11a.Pump(1);
            client.Pump();
            FakeInterface::Event e{};
            while (cm11a.NextEvent(e)) done += e.kind == FakeInterface::Event::CommandDone;
        }
        for (double end = NowMs() + 1000; NowMs() < end;) client.Pump();
        const long rss256 = RssKb(quorvel.pid());
        std::printf("memory (VmRSS of the connector):\n");
        std::printf("  connected, no device known   %.1f MB\n", static_cast<double>(rssStart) / 1024.0);
        std::printf("  256 devices discovered       %.1f MB (%d commands done, %zu configs seen)\n",
                    static_cast<double>(rss256) / 1024.0, done, client.configs.size());
        if (missing > 0 || done < 256 || client.configs.size() < 256) status = 2;
        std::printf("%s\n", quorvel.Stop().c_str());
    }
    if (keep) std::printf("kept: %s\n", dir.c_str());
    else fs::remove_all(dir);
    return status;
}

}  // namespace

int main(int argc, char** argv) {
    try {
        std::error_code ec;
        fs::path buildDir = fs::read_symlink("/proc/self/exe", ec).parent_path().parent_path();
        int requests = 200;
        bool keep = false, ns = true;
        for (int i = 1; i < argc; ++i) {
            const std::string a = argv[i];
            if (a == "--requests" && i + 1 < argc) requests = std::clamp(std::atoi(argv[++i]), 1, 100000);
            else if (a == "--build" && i + 1 < argc) buildDir = argv[++i];
            else if (a == "--keep") keep = true;
            else if (a == "--no-namespace") ns = false;
            else {
                std::printf("usage: mqtt_bench [--requests N] [--build DIR] [--keep] [--no-namespace]\n");
                return a == "--help" ? 0 : 1;
            }
        }
        if (ns) EnterNamespace(argc, argv, kNamespaceMark);
        std::signal(SIGPIPE, SIG_IGN);
        setvbuf(stdout, nullptr, _IOLBF, 0);
        return Run(buildDir, requests, keep);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "mqtt_bench: %s\n", e.what());
        return 1;
    }
}
