// A refresh of five subscribed calendars (500 events each) from a loopback server: unchanged,
// it costs five conditional requests and no parse; changed, five downloads and five parses.
// CPU is the whole process's, the server's share included.

#include "../tests/cloud/LoopbackHttpServer.h"
#include "BenchSupport.h"
#include "Brivane/subscriptions/SubscriptionService.h"

#include <QCoreApplication>
#include <QTemporaryDir>
#include <benchmark/benchmark.h>
#include <memory>

namespace brivane {
namespace {

using test::HttpRequest;
using test::HttpResponse;

constexpr int subscriptionCount = 5;

// The keyring is not what is measured: the list is kept in memory.
class MemoryKeyring final : public CloudAccountKeyring {
public:
    MemoryKeyring() : CloudAccountKeyring(QStringLiteral("bench")) {}
    QCoro::Task<ReadResult> read() const override {
        ReadResult result;
        result.kind = data_.empty() ? ReadResult::Kind::missing : ReadResult::Kind::found;
        result.data = data_;
        co_return result;
    }
    QCoro::Task<WriteResult> write(std::string data) const override {
        data_ = std::move(data);
        WriteResult result;
        result.ok = true;
        co_return result;
    }

private:
    mutable std::string data_;
};

struct Setup {
    QTemporaryDir dir;
    int version = 1;
    bool changing = false;
    std::vector<QByteArray> calendars;
    std::unique_ptr<test::LoopbackHttpServer> server;
    std::unique_ptr<SubscriptionService> service;

    Setup() {
        for (const auto& collection : bench::collections()) {
            std::string events;
            for (const auto& event : collection.events)
                events += event;
            calendars.push_back(QByteArray::fromStdString(bench::calendarFile(events)));
            if (calendars.size() == subscriptionCount)
                break;
        }
        server = std::make_unique<test::LoopbackHttpServer>([this](const HttpRequest& request) {
            const QByteArray etag = "\"" + QByteArray::number(version) + "\"";
            HttpResponse response;
            if (request.header("If-None-Match") == etag) {
                response.status = 304;
                return response;
            }
            response.body = calendars[std::size_t(request.path().mid(1).toInt())];
            response.contentType = "text/calendar";
            response.headers.append(QPair<QByteArray, QByteArray>("ETag", etag));
            return response;
        });
        SubscriptionService::Options options;
        options.keyring = std::make_shared<MemoryKeyring>();
        options.note = dir.path() + "/note.json";
        options.cacheFolder = dir.path() + "/cache";
        service = std::make_unique<SubscriptionService>(std::move(options));
        for (int i = 0; i < subscriptionCount; ++i)
            QCoro::waitFor(service->subscribe(server->baseURL() + "/" + QString::number(i)));
    }
};

Setup& setup() {
    static Setup made;
    return made;
}

void refresh(benchmark::State& state, bool changed) {
    Setup& s = setup();
    const std::size_t requestsBefore = s.server->requests().size();
    const int parsesBefore = s.service->parses();
    for (auto _ : state) {
        if (changed)
            ++s.version;
        QCoro::waitFor(s.service->refresh(true));
    }
    const double refreshes = double(state.iterations());
    state.counters["requests/refresh"] =
        double(s.server->requests().size() - requestsBefore) / refreshes;
    state.counters["parses/refresh"] = double(s.service->parses() - parsesBefore) / refreshes;
}

void unchanged(benchmark::State& state) {
    refresh(state, false);
}
void changed(benchmark::State& state) {
    refresh(state, true);
}

BENCHMARK(unchanged)->Unit(benchmark::kMillisecond)->MeasureProcessCPUTime();
BENCHMARK(changed)->Unit(benchmark::kMillisecond)->MeasureProcessCPUTime();

} // namespace
} // namespace brivane

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    brivane::setup(); // the first fetches, outside the measurements
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
