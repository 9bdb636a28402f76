#include "tools/driver/browse.h"

#include "ads/AdsDevice.h"
#include "ads/AdsSymbols.h"
#include "ads/Sockets.h"
#include "worker/ads_error_texts.h"
#include "worker/plc_type_check.h"
#include "worker/secure_transport.h"

#include <QStringList>

#include <algorithm>
#include <cstdio>

namespace {
// Names and comments come from the PLC: keep control characters off the terminal.
QString printable(const std::string& text)
{
    QString out = QString::fromUtf8(text.data(), static_cast<int>(text.size()));
    for (QChar& c : out) {
        if (c.unicode() < 0x20 || c.unicode() == 0x7F) {
            c = QLatin1Char(' ');
        }
    }
    return out;
}

int failed(int32_t code)
{
    const QString text = errorToString(code);
    // The text of an unknown code already names it.
    if (withErrorCode(text, code) == text) {
        std::fprintf(stderr, "ads-plc-driver: browsing failed: %s\n", qPrintable(text));
    } else {
        std::fprintf(stderr, "ads-plc-driver: browsing failed: %s (code 0x%lX)\n", qPrintable(text),
                     static_cast<unsigned long>(static_cast<uint32_t>(code)));
    }
    return 1;
}
}

int browsePlc(const QString& address, const QString& netId, int adsPort, int timeoutMs, const QString& prefix,
              const QMap<QString, QString>& secureColumns)
{
    const secure_transport::Choice transport = secure_transport::fromConfig(secureColumns);
    if (!transport.error.isEmpty()) {
        std::fprintf(stderr, "ads-plc-driver: %s\n", qPrintable(transport.error));
        return 2;
    }
    AmsNetId target(0u);
    // Four parts get ".1.1", as the device column Target_AMS_NetId does.
    const QString full = netId.count(QLatin1Char('.')) == 3 ? netId + QStringLiteral(".1.1") : netId;
    if (!ParseAmsNetId(full.toStdString(), target)) {
        std::fprintf(stderr, "ads-plc-driver: '%s' is not an AMS NetId\n", qPrintable(netId));
        return 2;
    }
    plc::ads::SetConnectTimeout(static_cast<uint32_t>(std::min(timeoutMs, 5000)));
    std::vector<plc::ads::SymbolEntry> symbols;
    try {
        const AdsDevice device(address.toStdString(), target, static_cast<uint16_t>(adsPort), 0,
                               transport.settings ? &*transport.settings : nullptr);
        device.SetTimeout(static_cast<uint32_t>(timeoutMs));
        if (const int32_t code = plc::ads::ReadSymbolTable(device.GetLocalPort(), &device.Address(), &symbols)) {
            return failed(code);
        }
    } catch (const AdsException& e) {
        return failed(e.resultCode);
    } catch (const plc::ads::ConnectError& e) {
        std::fprintf(stderr, "ads-plc-driver: browsing failed: %s\n", e.what());
        return 1;
    } catch (const plc::ads::SecureConnectError& e) {
        std::fprintf(stderr, "ads-plc-driver: browsing failed: %s\n", e.what());
        return 1;
    } catch (const std::exception&) {
        // As when the plug-in connects: a failed set-up is an unreachable target.
        return failed(ADS_ERR_TARGET_PORT_NOT_FOUND);
    }

    // One pass over the cells: a name or comment holding "%2" stays as it is.
    const auto row = [](const QString& name, const QString& type, const QString& size, const QString& read,
                        const QString& comment) {
        return QStringLiteral("%1 | %2 | %3 | %4 | %5\n")
            .arg(name.leftJustified(32), type.leftJustified(12), size.rightJustified(6), read.leftJustified(4), comment);
    };
    QString out = row(QStringLiteral("name"), QStringLiteral("type"), QStringLiteral("size"), QStringLiteral("read"),
                      QStringLiteral("comment"));
    QStringList itemOptions;
    int listed = 0;
    for (const plc::ads::SymbolEntry& symbol : symbols) {
        const QString name = printable(symbol.name);
        if (!name.startsWith(prefix, Qt::CaseInsensitive)) {
            continue;
        }
        ++listed;
        const QString type = printable(symbol.typeName);
        // Readable is what an item taking its type from the PLC reads; the line names the explicit
        // type that fits (an array's element type), which the type check then holds to.
        const ItemTypeCheck check = judgeItemType(FROM_PLC, symbol);
        out += row(name, type, QString::number(symbol.size), check.fits ? QStringLiteral("yes") : QStringLiteral("-"),
                   printable(symbol.comment));
        if (check.fits) {
            itemOptions.append(QStringLiteral("--item %1:%2").arg(name, itemTypeName(itemTypeFor(*check.type))));
        }
    }
    out += QStringLiteral("%1 of %2 symbols listed, %3 readable\n").arg(listed).arg(symbols.size()).arg(itemOptions.size());
    for (const QString& option : itemOptions) {
        out += option + QLatin1Char('\n');
    }
    std::fputs(out.toUtf8().constData(), stdout);
    return 0;
}
