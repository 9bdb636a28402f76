#include "tools/driver/browse.h"

#include "ads/AdsDevice.h"
#include "ads/AdsDataTypes.h"
#include "ads/AdsSymbols.h"
#include "ads/Sockets.h"
#include "worker/ads_error_texts.h"
#include "worker/plc_type_check.h"
#include "worker/values/structure_layouts.h"
#include "worker/secure_transport.h"

#include <QStringList>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <memory>

namespace {
// Names and comments come from the PLC: keep control characters off the terminal.
QString printable(QString text)
{
    for (QChar& c : text) {
        if (c.unicode() < 0x20 || c.unicode() == 0x7F) {
            c = QLatin1Char(' ');
        }
    }
    return text;
}

QString printable(const std::string& text)
{
    return printable(QString::fromUtf8(text.data(), static_cast<int>(text.size())));
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

// The option naming an item's type: STRUCT for structures, as the option parser takes it.
QString optionType(const Plc_Type& type)
{
    const DataType item = itemTypeFor(type);
    return item == STRUCT ? QStringLiteral("STRUCT") : itemTypeName(item);
}

using Row = std::function<void(const QString& name, const QString& type, uint64_t size, const Plc_Type* read,
                               const QString& comment)>;

// The members of a structure value at `name`, nested ones and every element of an array of
// structures included; elementary arrays stay one row.
void listMembers(const QString& name, const Plc_Type& type, const Row& row)
{
    if (type.isArray() && type.element && type.element->innermost() == STRUCT) {
        const Plc_Type& element = *type.element;
        uint64_t index = 0;
        const uint64_t count = type.elementCount();
        for (; index < count; ++index) {
            // The indices of each dimension, the last counting fastest.
            QStringList parts;
            uint64_t rest = index;
            for (size_t d = type.dimensions.size(); d-- > 0;) {
                parts.prepend(QString::number(int64_t{type.dimensions[d].lower} + static_cast<int64_t>(rest % type.dimensions[d].count)));
                rest /= type.dimensions[d].count;
            }
            const QString at = name + QLatin1Char('[') + parts.join(QLatin1Char(',')) + QLatin1Char(']');
            row(at, element.name(), element.size, &element, QString());
            listMembers(at, element, row);
        }
        return;
    }
    if (!type.isStructure()) {
        return;
    }
    for (const Plc_Type::Member& member : type.members) {
        const QString at = name + QLatin1Char('.') + printable(member.name);
        if (member.bit >= 0) {
            row(at, QStringLiteral("BIT"), 0, nullptr, QStringLiteral("bit %1 of byte %2").arg(member.bit).arg(member.offset));
            continue;
        }
        row(at, member.type->name(), member.type->size, member.type.get(), QString());
        listMembers(at, *member.type, row);
    }
    for (const QString& hidden : type.hidden) {
        row(name + QLatin1Char('.') + printable(hidden), QStringLiteral("?"), 0, nullptr, QStringLiteral("not shown"));
    }
}

// The PLC's data types, read when a listed symbol needs them; null when it has none to give.
std::unique_ptr<Structure_Layouts> layoutsFor(const AdsDevice& device, const std::vector<plc::ads::SymbolEntry>& symbols,
                                              const QString& prefix)
{
    const bool needed = std::any_of(symbols.begin(), symbols.end(), [&](const plc::ads::SymbolEntry& symbol) {
        return printable(symbol.name).startsWith(prefix, Qt::CaseInsensitive) && needsDataTypes(symbol);
    });
    std::vector<plc::ads::DataTypeEntry> types;
    if (!needed) {
        return nullptr;
    }
    if (const int32_t code = plc::ads::ReadDataTypeTable(device.GetLocalPort(), &device.Address(), &types)) {
        std::fprintf(stderr, "ads-plc-driver: the PLC's data types could not be read: %s\n",
                     qPrintable(withErrorCode(errorToString(code), code)));
        return nullptr;
    }
    return std::make_unique<Structure_Layouts>(std::move(types));
}
} // namespace

int browsePlc(const QString& address, const QString& netId, int adsPort, int timeoutMs, const QString& prefix,
              bool members, const QMap<QString, QString>& secureColumns)
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
    std::unique_ptr<Structure_Layouts> layouts;
    try {
        const AdsDevice device(address.toStdString(), target, static_cast<uint16_t>(adsPort), 0,
                               transport.settings ? &*transport.settings : nullptr);
        device.SetTimeout(static_cast<uint32_t>(timeoutMs));
        if (const int32_t code = plc::ads::ReadSymbolTable(device.GetLocalPort(), &device.Address(), &symbols)) {
            return failed(code);
        }
        layouts = layoutsFor(device, symbols, prefix);
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
    const Row add = [&](const QString& name, const QString& type, uint64_t size, const Plc_Type* read,
                        const QString& comment) {
        out += row(name, type, size ? QString::number(size) : QStringLiteral("-"),
                   read ? QStringLiteral("yes") : QStringLiteral("-"), comment);
        if (read) {
            itemOptions.append(QStringLiteral("--item %1:%2").arg(name, optionType(*read)));
        }
    };
    int listed = 0;
    int readable = 0;
    for (const plc::ads::SymbolEntry& symbol : symbols) {
        const QString name = printable(symbol.name);
        if (!name.startsWith(prefix, Qt::CaseInsensitive)) {
            continue;
        }
        ++listed;
        // Readable is what an item taking its type from the PLC reads; the line names the explicit
        // type that fits (an array's element type), which the type check then holds to.
        const ItemTypeCheck check = judgeItemType(FROM_PLC, symbol, layouts ? layouts->lookup() : Named_Type_Lookup());
        add(name, printable(symbol.typeName), symbol.size, check.fits ? check.type.get() : nullptr, printable(symbol.comment));
        readable += check.fits ? 1 : 0;
        if (members && check.fits) {
            listMembers(name, *check.type, add);
        }
    }
    out += QStringLiteral("%1 of %2 symbols listed, %3 readable").arg(listed).arg(symbols.size()).arg(readable);
    out += members ? QStringLiteral(", %1 members readable\n").arg(itemOptions.size() - readable) : QStringLiteral("\n");
    for (const QString& option : itemOptions) {
        out += option + QLatin1Char('\n');
    }
    std::fputs(out.toUtf8().constData(), stdout);
    return 0;
}
