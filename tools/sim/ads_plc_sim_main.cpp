// ads-plc-sim: runs the PLC simulator as a stand-alone server until SIGINT or SIGTERM.
#include "tools/sim/PlcSimulator.h"

#include <pthread.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <iostream>
#include <mutex>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

namespace {

const char* const kUsage =
    "Usage: ads-plc-sim [options]\n"
    "Runs a simulated PLC that answers ADS requests over AMS/TCP.\n"
    "\n"
    "Options:\n"
    "  --listen ADDR:PORT       address to listen on (default 127.0.0.1:48898; port 0 picks one)\n"
    "  --netid NETID            AMS NetId of the simulated PLC (default 127.0.0.1.1.1); requests to\n"
    "                           another NetId get the router's error 0x7\n"
    "  --ports N[,N...]         ADS ports served (default all); others get error 0x6\n"
    "  --name TEXT              device name reported by device info (at most 16 bytes are sent)\n"
    "  --device-version MAJ.MIN.BUILD  version reported by device info (default 3.1.4024)\n"
    "  --state N                initial ADS state (default 5, run)\n"
    "  --symbols FILE           symbol table to use instead of the built-in one; one symbol per line:\n"
    "                             name TYPE initial behaviour [comment]\n"
    "                           TYPE (any case): BOOL BYTE WORD DWORD LWORD SINT USINT INT UINT DINT UDINT\n"
    "                           LINT ULINT REAL LREAL TIME LTIME TIME_OF_DAY (TOD) DATE DATE_AND_TIME (DT)\n"
    "                           STRING(n) WSTRING(n), NAME:BASE for a type of the program's own (E_Mode:INT),\n"
    "                           ARRAY [a..b, c..d] OF TYPE; initial: a number (time types: milliseconds,\n"
    "                           LTIME nanoseconds, DATE and DT seconds since 1970), a text, [v1,v2,...] for\n"
    "                           an array; behaviour: constant counter countdown sine (around the initial\n"
    "                           value, by a tenth of it, or by 100 around 0); comment: quoted text shown by\n"
    "                           symbol information; '#' starts a comment of the file. Structures:\n"
    "                             TYPE ST_Name / member TYPE [initial [behaviour [comment]]] / END_TYPE\n"
    "                           one part per line; a member's TYPE may be an earlier structure, an array\n"
    "                           of one, or BIT; a variable of a structure is 'name TYPE [comment]'\n"
    "  --no-symbol-info         refuse the symbol-information services, like an older PLC\n"
    "  --no-data-types          refuse the data-type table (0x701), like an older PLC\n"
    "  --no-sum                 refuse the sum commands, like an older runtime\n"
    "  --max-notifications N    refuse notifications beyond N per client connection with 0x716\n"
    "  --tick MS                period of counters and sine values (default 100)\n"
    "  --delay MS               delay every reply by MS milliseconds\n"
    "  --drop-every SECONDS     close all client connections every SECONDS seconds\n"
    "  --restart-every SECONDS  simulate a restart every SECONDS seconds (handles and notifications are lost)\n"
    "  --downtime MS            how long a restart keeps the port closed (default 1000)\n"
    "  --program-change-every SECONDS  load a new program every SECONDS seconds (symbol version + 1,\n"
    "                           every handle and notification dropped, connections kept)\n"
    "  --stop-ms MS             how long a program change shows STOP (default 500; 0 for none)\n"
    "  --symbols-next FILE      symbol table of every other program change (the first one loads it)\n"
    "  --tls PORT               also serve secure ADS (TLS 1.2, then the connect info) on PORT of the\n"
    "                           listen address (0 picks one); the modes and their options:\n"
    "  --tls-mode MODE          psk (default), ca or self-signed\n"
    "  --tls-psk IDENTITY:PASSWORD  psk: the route's identity and password\n"
    "  --tls-cert FILE          ca, self-signed: the simulator's certificate (PEM)\n"
    "  --tls-key FILE           ca, self-signed: its private key (PEM)\n"
    "  --tls-ca FILE            ca: the CA that signs client certificates (PEM)\n"
    "  --tls-route-name NAME    ca: the common name a client certificate must carry (default: any)\n"
    "  --tls-pin FINGERPRINT    self-signed: a client certificate accepted without credentials (repeatable)\n"
    "  --tls-user USER:PASSWORD self-signed: the PLC user whose credentials pin a new client certificate\n"
    "  -v, --verbose            log every request\n"
    "  --version                print the simulator's version and exit\n"
    "  -h, --help               show this help and exit\n";

struct UsageError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

unsigned long ParseNumber(const std::string& option, const std::string& text, unsigned long max)
{
    char* end = nullptr;
    errno = 0;
    const unsigned long v = std::strtoul(text.c_str(), &end, 10);
    if (text.empty() || text[0] == '-' || *end != '\0' || errno == ERANGE || v > max) {
        throw UsageError(option + ": '" + text + "' is not a number from 0 to " + std::to_string(max));
    }
    return v;
}

// The program of a file, or nothing after saying why on stderr.
std::optional<plcsim::SimProgram> LoadSymbols(const std::string& file)
{
    std::ifstream in(file);
    std::stringstream text;
    text << in.rdbuf();
    if (!in) {
        std::cerr << "ads-plc-sim: cannot read symbols file '" << file << "'\n";
        return std::nullopt;
    }
    try {
        return plcsim::ParseSymbolProgram(text.str());
    } catch (const plcsim::SymbolFileError& e) {
        std::istringstream problems(e.what());
        for (std::string problem; std::getline(problems, problem);) {
            std::cerr << "ads-plc-sim: " << file << ": " << problem << "\n";
        }
        return std::nullopt;
    }
}

std::mutex outputMutex;

void Print(const std::string& line)
{
    std::lock_guard<std::mutex> lock(outputMutex);
    std::cout << line << std::endl;
}

} // namespace

int main(int argc, char** argv)
{
    plcsim::SimOptions options;
    options.ownNetIdOnly = true;
    std::string listenAddress = "127.0.0.1";
    uint16_t listenPort = AMS_TCP_PORT;
    std::string symbolsFile;
    long tickMs = -1;
    unsigned long delayMs = 0;
    unsigned long dropEvery = 0;
    unsigned long restartEvery = 0;
    unsigned long downtimeMs = 1000;
    unsigned long programChangeEvery = 0;
    unsigned long stopMs = 500;
    std::string nextSymbolsFile;
    bool verbose = false;
    std::optional<uint16_t> tlsPort;
    plcsim::SecureSimOptions secure;
    const auto split = [](const std::string& option, const std::string& v, std::string& first, std::string& second) {
        const size_t colon = v.find(':');
        if (colon == std::string::npos || colon == 0) {
            throw UsageError(option + ": expected NAME:PASSWORD, got '" + v + "'");
        }
        first = v.substr(0, colon);
        second = v.substr(colon + 1);
    };

    try {
        for (int i = 1; i < argc; ++i) {
            const std::string arg = argv[i];
            auto value = [&]() -> std::string {
                if (i + 1 >= argc) {
                    throw UsageError(arg + " needs a value");
                }
                return argv[++i];
            };
            if (arg == "-h" || arg == "--help") {
                std::cout << kUsage;
                return 0;
            } else if (arg == "-v" || arg == "--verbose") {
                verbose = true;
            } else if (arg == "--listen") {
                const std::string v = value();
                const size_t colon = v.rfind(':');
                if (colon == std::string::npos || colon == 0) {
                    throw UsageError("--listen: expected ADDR:PORT, got '" + v + "'");
                }
                listenAddress = v.substr(0, colon);
                listenPort = static_cast<uint16_t>(ParseNumber("--listen", v.substr(colon + 1), 65535));
            } else if (arg == "--netid") {
                const std::string v = value();
                if (!ParseAmsNetId(v, options.netId)) {
                    throw UsageError("--netid: '" + v + "' is not an AMS NetId (six numbers joined by '.')");
                }
            } else if (arg == "--ports") {
                std::istringstream list(value());
                for (std::string port; std::getline(list, port, ',');) {
                    options.adsPorts.insert(static_cast<uint16_t>(ParseNumber(arg, port, 65535)));
                }
            } else if (arg == "--name") {
                options.deviceName = value();
            } else if (arg == "--version") {
                std::cout << "ads-plc-sim " << ADS_PLC_VERSION << "\n";
                return 0;
            } else if (arg == "--device-version") {
                const std::string v = value();
                const size_t a = v.find('.');
                const size_t b = a == std::string::npos ? a : v.find('.', a + 1);
                if (b == std::string::npos) {
                    throw UsageError(arg + ": expected MAJ.MIN.BUILD, got '" + v + "'");
                }
                options.version.majorVersion = static_cast<uint8_t>(ParseNumber(arg, v.substr(0, a), 255));
                options.version.minorVersion = static_cast<uint8_t>(ParseNumber(arg, v.substr(a + 1, b - a - 1), 255));
                options.version.buildNumber = static_cast<uint16_t>(ParseNumber(arg, v.substr(b + 1), 65535));
            } else if (arg == "--state") {
                options.adsState = static_cast<uint16_t>(ParseNumber(arg, value(), 65535));
            } else if (arg == "--no-symbol-info") {
                options.symbolInfo = false;
            } else if (arg == "--no-data-types") {
                options.dataTypeInfo = false;
            } else if (arg == "--no-sum") {
                options.sumCommands = false;
            } else if (arg == "--max-notifications") {
                options.maxNotificationsPerClient = static_cast<uint32_t>(ParseNumber(arg, value(), UINT32_MAX));
            } else if (arg == "--symbols") {
                symbolsFile = value();
            } else if (arg == "--tick") {
                tickMs = static_cast<long>(ParseNumber(arg, value(), 3600000));
                if (tickMs == 0) {
                    throw UsageError("--tick: must be at least 1");
                }
            } else if (arg == "--delay") {
                delayMs = ParseNumber(arg, value(), 3600000);
            } else if (arg == "--drop-every") {
                dropEvery = ParseNumber(arg, value(), 86400);
            } else if (arg == "--restart-every") {
                restartEvery = ParseNumber(arg, value(), 86400);
            } else if (arg == "--downtime") {
                downtimeMs = ParseNumber(arg, value(), 3600000);
            } else if (arg == "--program-change-every") {
                programChangeEvery = ParseNumber(arg, value(), 86400);
            } else if (arg == "--stop-ms") {
                stopMs = ParseNumber(arg, value(), 3600000);
            } else if (arg == "--symbols-next") {
                nextSymbolsFile = value();
            } else if (arg == "--tls") {
                tlsPort = static_cast<uint16_t>(ParseNumber(arg, value(), 65535));
            } else if (arg == "--tls-mode") {
                const std::string mode = value();
                if (mode == "psk") {
                    secure.mode = plcsim::SecureSimOptions::Mode::PreSharedKey;
                } else if (mode == "ca") {
                    secure.mode = plcsim::SecureSimOptions::Mode::SharedCa;
                } else if (mode == "self-signed") {
                    secure.mode = plcsim::SecureSimOptions::Mode::SelfSigned;
                } else {
                    throw UsageError("--tls-mode: expected psk, ca or self-signed, got '" + mode + "'");
                }
            } else if (arg == "--tls-psk") {
                split(arg, value(), secure.pskIdentity, secure.pskPassword);
            } else if (arg == "--tls-cert") {
                secure.certificateFile = value();
            } else if (arg == "--tls-key") {
                secure.keyFile = value();
            } else if (arg == "--tls-ca") {
                secure.caFile = value();
            } else if (arg == "--tls-route-name") {
                secure.routeName = value();
            } else if (arg == "--tls-pin") {
                secure.pinned.push_back(value());
            } else if (arg == "--tls-user") {
                split(arg, value(), secure.user, secure.password);
            } else {
                throw UsageError("unknown option '" + arg + "'");
            }
        }
    } catch (const UsageError& e) {
        std::cerr << "ads-plc-sim: " << e.what() << "\nTry 'ads-plc-sim --help'.\n";
        return 2;
    }

    std::optional<plcsim::SimProgram> symbols;
    std::optional<plcsim::SimProgram> nextSymbols;
    if ((!symbolsFile.empty() && !(symbols = LoadSymbols(symbolsFile))) ||
        (!nextSymbolsFile.empty() && !(nextSymbols = LoadSymbols(nextSymbolsFile)))) {
        return 1;
    }
    options.defaultSymbols = !symbols;
    if (tickMs > 0) {
        options.tickPeriod = std::chrono::milliseconds(tickMs);
    }

    // Block the stop signals before any thread starts, so only sigtimedwait() sees them.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

    plcsim::PlcSimulator sim(options);
    if (symbols) {
        sim.LoadProgram(*symbols);
    }
    sim.SetLog(Print, verbose);
    if (delayMs > 0) {
        sim.InjectReplyFault(plcsim::ReplyFault::Delay(std::chrono::milliseconds(delayMs))
                                 .Times(plcsim::ReplyFault::kForever));
    }
    try {
        sim.Start(listenAddress, listenPort);
        if (tlsPort) {
            sim.StartSecure(secure, *tlsPort);
        }
    } catch (const std::exception& e) {
        std::cerr << "ads-plc-sim: " << e.what() << "\n";
        return 1;
    }
    Print("listening on " + sim.HostString());
    if (tlsPort) {
        Print("secure ADS on " + sim.SecureHostString());
        const std::string own = sim.SecureCertificateFingerprint();
        if (!own.empty()) {
            Print("certificate SHA-256 fingerprint " + own);
        }
    }
    Print("AMS NetId " + options.netId.ToString() + ", device \"" + options.deviceName + "\"");

    using SteadyClock = std::chrono::steady_clock;
    auto nextDrop = SteadyClock::now() + std::chrono::seconds(dropEvery);
    auto nextRestart = SteadyClock::now() + std::chrono::seconds(restartEvery);
    auto nextProgram = SteadyClock::now() + std::chrono::seconds(programChangeEvery);
    const auto firstProgram = symbols ? *symbols : plcsim::SimProgram{{}, {}, plcsim::DefaultSymbols()};
    bool nextLoaded = false;
    for (;;) {
        const timespec wait{0, 200 * 1000 * 1000};
        const int sig = sigtimedwait(&stopSignals, nullptr, &wait);
        if (sig == SIGINT || sig == SIGTERM) {
            Print(std::string("stopping on ") + (sig == SIGINT ? "SIGINT" : "SIGTERM"));
            break;
        }
        const auto now = SteadyClock::now();
        if (dropEvery > 0 && now >= nextDrop) {
            Print("dropping all connections");
            sim.DropConnections();
            nextDrop = now + std::chrono::seconds(dropEvery);
        }
        if (restartEvery > 0 && now >= nextRestart) {
            sim.Restart(std::chrono::milliseconds(downtimeMs));
            nextRestart = now + std::chrono::seconds(restartEvery);
        }
        if (programChangeEvery > 0 && now >= nextProgram) {
            nextLoaded = nextSymbols && !nextLoaded;
            if (nextSymbols) {
                sim.ChangeProgram(std::chrono::milliseconds(stopMs), nextLoaded ? *nextSymbols : firstProgram);
            } else {
                sim.ChangeProgram(std::chrono::milliseconds(stopMs));
            }
            nextProgram = now + std::chrono::seconds(programChangeEvery);
        }
    }
    sim.Stop();
    return 0;
}
