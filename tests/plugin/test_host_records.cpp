// The stand-in host's records: defaults, copies and the column builder.
#include "host/HostRecords.h"
#include "host/HostState.h"
#include "host/PluginInterface.h"

#include "qt_gtest_print.h"

#include <gtest/gtest.h>

#include <QElapsedTimer>

#include <thread>
#include <vector>

namespace {

TEST(HostRecords, ErrorWaitTimeFallsBackToFiveSeconds)
{
    DeviceInstancePlugin device{};
    for (int configured : {0, -1, -100}) {
        device.errorWaitTimeSeconds = configured;
        EXPECT_EQ(device.getErrorWaitTimeSeconds(), 5) << configured;
    }
    device.errorWaitTimeSeconds = 12;
    EXPECT_EQ(device.getErrorWaitTimeSeconds(), 12);
    device.errorWaitTimeSeconds = 1;
    EXPECT_EQ(device.getErrorWaitTimeSeconds(), 1);
}

TEST(HostRecords, DataItemDefaultsAndItemConstructor)
{
    const DataItem empty;
    EXPECT_TRUE(empty.values.isEmpty());
    EXPECT_TRUE(empty.timestamp.isNull());
    EXPECT_EQ(empty.extraInt1, -1);
    EXPECT_EQ(empty.extraInt2, 0);
    EXPECT_EQ(empty.item.id, 0);
    EXPECT_FALSE(empty.item.extraFlag1);
    EXPECT_EQ(empty.device.id, 0);

    ItemInstancePlugin record{};
    record.id = 17;
    record.uid = "u17";
    record.name = "Level";
    record.readIntervalMs = 250;
    record.extraInt7 = 1;
    record.error = "broken";
    record.config = {{"variable_name", "MAIN.level"}, {"type", "10"}};
    const DataItem item(record);
    EXPECT_EQ(item.item.id, 17);
    EXPECT_EQ(item.item.uid, QStringLiteral("u17"));
    EXPECT_EQ(item.item.name, QStringLiteral("Level"));
    EXPECT_EQ(item.item.readIntervalMs, 250);
    EXPECT_EQ(item.item.extraInt7, 1);
    EXPECT_EQ(item.item.error, QStringLiteral("broken"));
    EXPECT_EQ(item.item.config, record.config);
    EXPECT_EQ(item.extraInt1, -1);
    EXPECT_EQ(item.extraInt2, 0);
    EXPECT_TRUE(item.values.isEmpty());
}

TEST(HostRecords, CopiedBatchIsIndependent)
{
    LogList source;
    source.device.id = 1;
    source.device.config.insert("Timeout", "1000");
    source.items.append(DataItem());
    source.items[0].values.insert("value", "1");

    LogList copy = source;
    copy.items[0].values["value"] = "2";
    copy.items.append(DataItem());
    copy.device.config["Timeout"] = "2000";
    copy.device.error = "down";

    EXPECT_EQ(source.items.size(), 1);
    EXPECT_EQ(source.items[0].values.value("value"), QStringLiteral("1"));
    EXPECT_EQ(source.device.config.value("Timeout"), QStringLiteral("1000"));
    EXPECT_TRUE(source.device.error.isEmpty());
}

TEST(HostRecords, ColumnKeepsItsArgumentsAndChoiceOrder)
{
    DatabaseColumnStructure column("mode", DatabaseColumnStructure::SizedText, 64, "b", "which one");
    column.insertSelectionValues("Second", "b");
    column.insertSelectionValues("First", "a");
    column.insertSelectionValues("Blank", "");
    EXPECT_EQ(column.name, QStringLiteral("mode"));
    EXPECT_EQ(static_cast<int>(column.dataType), 8);
    EXPECT_EQ(column.length, 64);
    EXPECT_EQ(column.defaultValue, QStringLiteral("b"));
    EXPECT_EQ(column.description, QStringLiteral("which one"));
    ASSERT_EQ(column.selectionValues.size(), 3);
    EXPECT_EQ(column.selectionValues[0].label + column.selectionValues[0].value, QStringLiteral("Secondb"));
    EXPECT_EQ(column.selectionValues[1].label + column.selectionValues[1].value, QStringLiteral("Firsta"));
    EXPECT_EQ(column.selectionValues[2].label, QStringLiteral("Blank"));
    EXPECT_TRUE(column.selectionValues[2].value.isEmpty());
}

TEST(HostRecords, InitOptionDefaults)
{
    const PluginInitOptions options;
    EXPECT_EQ(options.historyHours, 24);
    EXPECT_FALSE(options.supportsEvents);
    EXPECT_FALSE(options.supportsLogCallback);
    EXPECT_TRUE(options.supportsRead);
    EXPECT_EQ(options.eventTimeoutSeconds, 180);
    EXPECT_FALSE(options.supportsDiscovery);
    EXPECT_FALSE(options.discoveryCreatesDevices);
    EXPECT_FALSE(options.supportsFiles);
    EXPECT_FALSE(options.supportsMappings);
    EXPECT_EQ(options.discoveryAction, QStringLiteral("discover"));
    EXPECT_TRUE(options.extra.isEmpty());
}

TEST(HostState, LogsFromManyThreadsAreAllRecordedAndCanBeAwaited)
{
    tavhost::HostState& host = tavhost::HostState::instance();
    host.reset();
    constexpr int THREADS = 4;
    constexpr int LINES = 250;
    std::vector<std::thread> writers;
    for (int t = 0; t < THREADS; ++t) {
        writers.emplace_back([t] {
            PluginInterface pluginInterface;
            for (int i = 0; i < LINES; ++i) {
                pluginInterface.logDebug(QStringLiteral("thread %1 line %2").arg(t).arg(i));
            }
            pluginInterface.logError(QStringLiteral("thread %1 done").arg(t));
        });
    }
    for (int t = 0; t < THREADS; ++t) {
        const QString done = QStringLiteral("thread %1 done").arg(t);
        EXPECT_TRUE(host.waitForLog([&](const tavhost::LogEntry& e) { return e.text == done; }, 10000));
    }
    for (auto& writer : writers) {
        writer.join();
    }
    EXPECT_EQ(host.logTexts(tavhost::LogLevel::Debug).size(), THREADS * LINES);
    EXPECT_EQ(host.logTexts(tavhost::LogLevel::Error).size(), THREADS);

    QElapsedTimer timer;
    timer.start();
    EXPECT_FALSE(host.waitForLog([](const tavhost::LogEntry& e) { return e.text == "never"; }, 50));
    EXPECT_GE(timer.elapsed(), 45);
    host.reset();
    EXPECT_TRUE(host.logs().isEmpty());
}

} // namespace
