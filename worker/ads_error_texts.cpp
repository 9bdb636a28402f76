#include "worker/ads_error_texts.h"

#include <algorithm>
#include <iterator>

namespace {
struct ErrorText {
    long code;
    const char* text; // UTF-8
};

// Sorted by code for the binary search below.
const ErrorText ERROR_TEXTS[] = {
    {0, "No error"},
    {1, "Internal error"},
    {2, "No Rtime"},
    {3, "Allocation locked memory error"},
    {4, "Insert mailbox er"},
    {5, "Wrong receive HMSG"},
    {6, "Target port not found – ADS server is not started or is not reachable."},
    {7, "Target computer not found – AMS route was not found."},
    {8, "Unknown command ID"},
    {9, "Bad task ID"},
    {10, "No IO"},
    {11, "Unknown ADS command"},
    {12, "Win 32 error"},
    {13, "Port not connected"},
    {14, "Invalid ADS length"},
    {15, "Invalid ADS Net ID"},
    {16, "Low Installation level"},
    {17, "No debug available"},
    {18, "Port disabled"},
    {19, "Port already connected"},
    {20, "ADS Sync Win32 error"},
    {21, "ADS Sync Timeout"},
    {22, "ADS Sync AMS error"},
    {23, "ADS Sync no index map"},
    {24, "Invalid ADS port"},
    {25, "No memory"},
    {26, "TCP send error"},
    {27, "Host unreachable"},
    {28, "Invalid AMS fragm"},
    {1280, "ROUTERERR_NOLOCKEDMEMORY"},
    {1281, "ROUTERERR_RESIZEMEMORY"},
    {1282, "ROUTERERR_MAILBOXFULL"},
    {1283, "ROUTERERR_DEBUGBOXFULL"},
    {1284, "ROUTERERR_UNKNOWNPORTTYPE"},
    {1285, "ROUTERERR_NOTINITIALIZED"},
    {1286, "ROUTERERR_PORTALREADYINUSE"},
    {1287, "ROUTERERR_NOTREGISTERED"},
    {1288, "ROUTERERR_NOMOREQUEUES"},
    {1289, "ROUTERERR_INVALIDPORT"},
    {1290, "ROUTERERR_NOTACTIVATED"},
    {1291, "ROUTERERR_FRAGMENTBOXFULL"},
    {1292, "ROUTERERR_FRAGMENTTIMEOUT"},
    {1293, "ROUTERERR_TOBEREMOVED"},
    {1792, "Error class <device error>"},
    {1793, "Service is not supported by server"},
    {1794, "Invalid index group"},
    {1795, "Invalid index offset"},
    {1796, "Reading/writing not permitted"},
    {1797, "Parameter size not correct"},
    {1798, "Invalid parameter value(s)"},
    {1799, "Device is not in a ready state"},
    {1800, "Device is busy"},
    {1801, "Invalid context (must be in Windows)"},
    {1802, "Out of memory"},
    {1803, "Invalid parameter value(s)"},
    {1804, "Not found (files; ...)"},
    {1805, "Syntax error in command or file"},
    {1806, "Objects do not match"},
    {1807, "Object already exists"},
    {1808, "Symbol not found"},
    {1809, "Symbol version invalid. Onlinechange. Release handle and get a new one"},
    {1810, "Server is in invalid state"},
    {1811, "AdsTransMode not supported"},
    {1812, "Notification handle is invalid. Onlinechange. Release handle and get a new one"},
    {1813, "Notification client not registered"},
    {1814, "No more notification handles"},
    {1815, "Size for watch too big"},
    {1816, "Device not initialized"},
    {1817, "Device has a timeout"},
    {1818, "Query interface failed"},
    {1819, "Wrong interface required"},
    {1820, "Class ID is invalid"},
    {1821, "Object ID is invalid"},
    {1822, "Request is pending"},
    {1823, "Request is aborted"},
    {1824, "Signal warning"},
    {1825, "Invalid array index"},
    {1826, "Symbol not active. Onlinechange. Release handle and get a new one"},
    {1827, "Access denied"},
    {1828, "Missing license. Activate license for runtime function"},
    {1836, "Exception occured during system start. Check each device transistions"},
    {1856, "Error class <client error>"},
    {1857, "Invalid parameter at service"},
    {1858, "Polling list is empty"},
    {1859, "Var connection already in use"},
    {1860, "Invoke ID in use"},
    {1861, "Timeout elapsed"},
    {1862, "Error in win32 subsystem"},
    {1863, "Invalid client timeout value"},
    {1864, "ADS-port not opened"},
    {1872, "Internal error in ads sync"},
    {1873, "Hash table overflow"},
    {1874, "Key not found in hash"},
    {1875, "No more symbols in cache"},
    {1876, "Invalid response received"},
    {1877, "Sync port is locked"},
    {4096, "RTERR_INTERNAL"},
    {4097, "RTERR_BADTIMERPERIODS"},
    {4098, "RTERR_INVALIDTASKPTR"},
    {4099, "RTERR_INVALIDSTACKPTR"},
    {4100, "RTERR_PRIOEXISTS"},
    {4101, "RTERR_NOMORETCB"},
    {4102, "RTERR_NOMORESEMAS"},
    {4103, "RTERR_NOMOREQUEUES"},
    {4104, "Runtime reserved."},
    {4105, "Runtime reserved."},
    {4106, "Runtime reserved."},
    {4107, "Runtime reserved."},
    {4108, "Runtime reserved."},
    {4109, "RTERR_EXTIRQALREADYDEF"},
    {4110, "RTERR_EXTIRQNOTDEF"},
    {4111, "RTERR_EXTIRQINSTALLFAILED"},
    {4112, "RTERR_IRQLNOTLESSOREQUAL"},
    {4119, "RTERR_VMXNOTSUPPORTED"},
    {4120, "RTERR_VMXDISABLED"},
    {4121, "RTERR_VMXCONTROLSMISSING"},
    {4122, "RTERR_VMXENABLEFAILS"},
    {10054, "Connection closed or reset by the PLC"},
    {10060, "A connection attempt failed because the connected party did not properly respond after a period of time; or established connection failed because connected host has failed to respond."},
    {10061, "No connection could be made because the target machine actively refused it"},
    {10065, "A socket operation was attempted to an unreachable host"},
};
}

QString errorToString(long code)
{
    const auto end = std::end(ERROR_TEXTS);
    const auto it = std::lower_bound(std::begin(ERROR_TEXTS), end, code,
                                     [](const ErrorText& entry, long value) { return entry.code < value; });
    if (it != end && it->code == code) {
        return QString::fromUtf8(it->text);
    }
    return QStringLiteral("Invalid error. Code: ") + QString::number(code);
}

QString withErrorCode(const QString& text, long code)
{
    const QString suffix = QStringLiteral(" Code: ") + QString::number(code);
    return text.endsWith(suffix) ? text : text + suffix;
}
