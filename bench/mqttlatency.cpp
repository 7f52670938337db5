// SPDX-License-Identifier: MIT
// lw_mqttlatency PORT [COUNT] [INTERVAL_MS]: how long a figure takes from the monitor's tick to a
// subscriber. A publisher ticks with B1's usage changed every INTERVAL_MS (1000) and a second
// client subscribed to that topic notes when each value arrives, both through the broker on
// 127.0.0.1:PORT. Prints the median, 90th percentile and largest of COUNT (100) deliveries.
#include "mqttpublisher.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QTimer>

#include <algorithm>
#include <cstdio>
#include <map>
#include <vector>

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    if (argc < 2) {
        std::fprintf(stderr, "usage: lw_mqttlatency PORT [COUNT] [INTERVAL_MS]\n");
        return 2;
    }
    const int port = std::atoi(argv[1]);
    const int count = argc > 2 ? std::atoi(argv[2]) : 100;
    const int interval = argc > 3 ? std::atoi(argv[3]) : 1000;

    TMqttSettings settings;
    settings.Enabled = true;
    settings.Host = "127.0.0.1";
    settings.Port = port;
    settings.Prefix = "linewatch/bench";
    settings.ClientId = "lw-bench-publisher";
    settings.Discovery = false;
    TMqttPublisher publisher;
    std::string error;
    if (!publisher.Start(settings, "bench", error)) {
        std::fprintf(stderr, "%s\n", error.c_str());
        return 1;
    }

    QElapsedTimer clock;
    clock.start();
    std::map<std::string, qint64> tickedAt;
    std::vector<double> latencies;
    TMqttClient subscriber;
    subscriber.OnConnected = [&] { subscriber.Subscribe("linewatch/bench/b1/usage", 1); };
    subscriber.OnMessage = [&](const std::string &, const std::string &Payload, const std::string &) {
        const auto found = tickedAt.find(Payload);
        if (found == tickedAt.end())
            return;
        latencies.push_back((clock.nsecsElapsed() - found->second) / 1e6);
        tickedAt.erase(found);
        if (int(latencies.size()) >= count)
            QCoreApplication::quit();
    };
    TMqttClient::TOptions options;
    options.Host = "127.0.0.1";
    options.Port = port;
    options.ClientId = "lw-bench-subscriber";
    if (!subscriber.Start(options, error)) {
        std::fprintf(stderr, "%s\n", error.c_str());
        return 1;
    }

    int value = 0;
    QTimer tick;
    tick.setInterval(interval);
    QObject::connect(&tick, &QTimer::timeout, [&] {
        if (!publisher.Client.Connected() || !subscriber.Connected())
            return;
        TMachineStatus status;
        status.B1.CLU = value = (value + 1) % 101;
        tickedAt[std::to_string(value)] = clock.nsecsElapsed();
        publisher.Tick(status, {});
    });
    tick.start();
    app.exec();
    std::sort(latencies.begin(), latencies.end());
    if (latencies.empty())
        return 1;
    std::printf("MQTT tick to subscriber over %zu changes: median %.2f ms, p90 %.2f ms, max %.2f ms\n",
                latencies.size(), latencies[latencies.size() / 2], latencies[latencies.size() * 9 / 10],
                latencies.back());
    return 0;
}
