// Stand-alone driver: runs the plug-in against PLCs without the host, reads their devices in a
// loop on a second thread and prints views of the batches.
#include "tools/driver/browse.h"
#include "tools/driver/options.h"
#include "tools/driver/run.h"

#include <QStringList>
#include <QtGlobal>

#include <cstdio>

int main(int argc, char** argv)
{
    QStringList args;
    for (int i = 0; i < argc; ++i) {
        args.append(QString::fromLocal8Bit(argv[i]));
    }
    driver::Options options;
    if (!driver::parseOptions(args, &options)) {
        return 2;
    }
    if (options.help) {
        driver::printUsage();
        return 0;
    }
    if (options.version) {
        std::printf("ads-plc-driver %s\n", ADS_PLC_VERSION);
        return 0;
    }
    if (options.browse) {
        const driver::DeviceOption& device = options.devices.first();
        return browsePlc(device.address, device.netId, device.adsPort, device.timeoutMs, options.browsePrefix,
                         options.browseMembers, device.secureColumns);
    }
    // The substitute host echoes its log lines when this is set; only --verbose decides.
    if (options.verbose) {
        qputenv("TAVHOST_ECHO_LOGS", "1");
    } else {
        qunsetenv("TAVHOST_ECHO_LOGS");
    }
    return driver::run(options);
}
