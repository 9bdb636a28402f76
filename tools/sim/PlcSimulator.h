// A PLC simulator: a real ADS server on TCP for tests, benchmarks and the demo.
//
// It answers the ADS commands the client stack sends (device info, state, read,
// write, read-write, write-control, add/delete device notification), keeps a
// symbol table with handles and a raw memory model, pushes device notifications,
// records every packet it receives, and can misbehave on command.
//
// Every public method is thread-safe. Nothing received from the network is
// trusted: a broken client only ever loses its own connection.
//
// Choices where a real device could answer in several ways:
//   - Unknown command id in a request: the reply carries result 0x701
//     (service not supported) and no further data.
//   - Device notifications (command 8) and packets with the response flag set
//     that a client sends are recorded but never answered.
//   - Unknown symbol name, and a stale or unknown symbol handle (after release
//     or Restart()), both answer 0x710 (symbol not found).
//   - Reading or writing more bytes than a symbol or memory region holds
//     answers 0x705 (invalid size); a shorter read or write uses the prefix.
//   - Raw memory: an index group without any region answers 0x702, an offset
//     that no region of the group covers answers 0x703.
//   - An element of an array symbol by name ("MAIN.aReal[3]", "MAIN.aInt[1,2]", by the array's
//     bounds) has handles, notifications and symbol information of its own over its bytes;
//     an index outside the bounds answers 0x710.
//   - Structures (SimProgram, ParseSymbolProgram): members in declaration order, each at its
//     natural alignment (elementary: its size up to 8; STRING 1, WSTRING 2; an array its element's;
//     a structure its largest member's), a structure's size rounded up to its alignment. BIT
//     members pack into bytes from the lowest bit, from a fresh byte after any other member.
//     A member or element by name ("MAIN.a[2].st.x") is a variable of its own over its bytes,
//     like an array element; a BIT member is not (0x710).
//   - The data-type table (index group 0xF00E, counts in upload info, layout in
//     ads/AdsDataTypes.h): one entry per structure type, its members as sub-items (a BIT's size
//     and offset in bits, flag 0x20), then one per type of the program's own; version 1, made-up
//     non-zero hash values, and after a structure's sub-items a made-up type GUID (flag 0x80).
//     A read shorter than the table answers 0x705; SimOptions::dataTypeInfo off answers 0x701
//     and announces no types; a program of plain symbols has an empty table.
//   - Symbol names are looked up case-insensitively. ReadWrite on 0xF005 writes,
//     then reads back; file open/close (0x78/0x79) answer 0x701.
//   - Symbol handles outlive the connection that created them; only release
//     Restart() and ChangeProgram() forget them. Notifications die with their connection.
//   - Notifications (transmission mode 3 cyclic or 4 on change, anything else 0x70B)
//     send their first sample right after the add reply, then sample every
//     max(samplingPeriod, 1 ms); due times of equal periods coincide, and the due
//     samples of one (connection, client address, PLC address) share one frame.
//     maxDelay is ignored. watchedLength 0 or above 64 KiB answers 0x717.
//   - Deleting another connection's notification, or an unknown one, answers 0x714.
//   - Symbol information (upload info 0xF00F, symbol upload 0xF00B, info by name 0xF009,
//     layouts in ads/AdsSymbols.h) lists the symbols in name order at made-up addresses in
//     index group 0x4040 that cannot be read; a read shorter than the table or entry answers
//     0x705. With SimOptions::symbolInfo off these groups answer like any unknown group (0x702).
//   - Sum commands (ReadWrite on 0xF080, 0xF081, 0xF082, 0xF085, 0xF086, layouts in
//     ads/AdsSum.h) answer one result per sub-request; a request whose lengths do not match
//     its layout exactly for n = index offset (n >= 1) answers 0x705 as a whole.
//   - The symbol version (one byte, index group 0xF008, offset 0) starts at 1 and counts up with
//     every ChangeProgram(); notifications on it outlive program changes.
//   - Limits: 65536 symbol handles (then 0x712) and notifications (then 0x716), 256 connections,
//     AMS/TCP packets up to 4 MiB (a longer one closes that connection); a client
//     that stops reading for 3 s while the simulator sends loses its connection.
#pragma once

#include "ads/AdsDef.h"
#include "ads/AmsHeader.h"
#include "ads/AdsTypeNames.h"

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <set>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

namespace plcsim {

// Polls pred every millisecond or so until it returns true or timeout passes.
// Returns the last value of pred. Tests use it instead of bare sleeps.
bool WaitUntil(const std::function<bool()>& pred, std::chrono::milliseconds timeout);

// The elementary PLC data types the simulator knows, with their byte sizes.
enum class PlcType {
    BOOL, WORD, DWORD, SINT, USINT, INT, UINT, DINT, UDINT, REAL, LREAL, STRING,
    BYTE, LINT, ULINT, LWORD, TIME, LTIME, TIME_OF_DAY, DATE, DATE_AND_TIME, WSTRING,
};
size_t TypeSize(PlcType type); // STRING: 81 (80 characters and the terminator), WSTRING: 162
const char* TypeName(PlcType type);
std::optional<PlcType> ParseTypeName(const std::string& name); // in any case; TOD and DT too
// The data type id symbol information gives with a type name: the elementary type's, an
// array's element's, 65 for anything else.
uint32_t DataTypeIdOf(const std::string& typeName);

// How a symbol's value moves on every behaviour tick.
enum class Behaviour {
    Constant,
    CountUp,   // the value is a little-endian unsigned integer of the symbol's size, +1 per tick, wrapping
    CountDown, // the same, -1 per tick
    Sine,      // initial + amplitude * sin(0.1 * tick) as REAL (4 bytes) or LREAL (8 bytes), amplitude 100
               // around 0, else a tenth of the initial value's size; other sizes stay constant
};

// A part of a symbol's value that moves on its own: a member of a structure variable.
struct SymbolPart {
    uint32_t offset = 0; // bytes into the symbol's value
    uint32_t size = 0;
    Behaviour behaviour = Behaviour::Constant;
    double sineCenter = 0; // a sine's initial value
};

struct SymbolDef {
    std::string name;
    std::vector<uint8_t> initial; // its size is the symbol's size
    Behaviour behaviour = Behaviour::Constant;
    std::string typeName; // PLC type name; empty: DefaultTypeName() of the size
    std::string comment;
    uint32_t dataTypeId = 0; // of a type of the program's own (alias, enumeration); 0: DataTypeIdOf(typeName)
    std::vector<SymbolPart> parts = {}; // members of a structure value with behaviours of their own
};

// A member of a structure type, laid out like a PLC lays it out.
struct StructMember {
    std::string name;
    std::string typeName;    // "REAL", "ARRAY [1..3] OF REAL", "STRING(20)", "ST_Drive", "E_State", "BIT"
    uint32_t dataTypeId = 0; // an array's element's; 65 for a structure, 33 for a BIT
    uint32_t offset = 0;     // from the start of its structure, in bytes; a BIT's in bits
    uint32_t size = 0;       // bytes; a BIT's in bits (1)
    bool bit = false;
    std::vector<plc::ads::ArrayBounds> dimensions; // of an array member
    std::string comment;
};

struct StructType {
    std::string name;
    uint32_t size = 0;      // a multiple of alignment
    uint32_t alignment = 1; // its largest member's
    std::vector<StructMember> members; // in declaration order
    std::vector<uint8_t> initial;      // a new variable's bytes
    std::vector<SymbolPart> parts;     // the members that move, in every variable of the type
};

// A type of the program's own stored as an elementary one (NAME:BASE, e.g. an enumeration).
struct AliasType {
    std::string name;
    std::string baseTypeName; // "INT", "STRING(20)"
    uint32_t dataTypeId = 0;
    uint32_t size = 0;
};

// A PLC program: its structure types, its own types and its variables.
struct SimProgram {
    std::vector<StructType> types; // in declaration order
    std::vector<AliasType> aliases;
    std::vector<SymbolDef> symbols;
};

// The PLC type name of a symbol that has none, by its size: BYTE, WORD, DWORD, LWORD,
// STRING(80) for 81 bytes, else an ARRAY OF BYTE.
std::string DefaultTypeName(size_t size);
// One symbol-table entry as the symbol-information services send it; data type id 0 stands for
// DataTypeIdOf(typeName).
std::vector<uint8_t> EncodeSymbolEntry(const std::string& name, const std::string& typeName,
                                       const std::string& comment, uint32_t size, uint32_t indexGroup,
                                       uint32_t indexOffset, uint32_t dataTypeId = 0);

// The built-in table: "MAIN.down" (INT, counting down), ".count" (UINT, counting up),
// one constant symbol of each elementary type ("MAIN.bBool", "MAIN.wWord", "MAIN.dwDword",
// "MAIN.siSint", "MAIN.usiUsint", "MAIN.iInt", "MAIN.uiUint", "MAIN.diDint", "MAIN.udiUdint",
// "MAIN.rReal", "MAIN.lrLreal", "MAIN.sText", "MAIN.byByte", "MAIN.liLint", "MAIN.uliUlint",
// "MAIN.lwLword", "MAIN.tTime", "MAIN.ltLtime", "MAIN.todTime", "MAIN.dDate", "MAIN.dtStamp",
// "MAIN.wsText"), an enumeration ("MAIN.eMode", E_Mode of INT), arrays ("MAIN.aReal"
// ARRAY [1..10] OF REAL, "MAIN.aInt" ARRAY [0..2, 0..3] OF INT, "MAIN.aText" ARRAY [0..4] OF
// STRING(20), "MAIN.aLint" ARRAY [-1..1] OF LINT) and changing ones ("MAIN.udiCounter" UDINT
// up, "MAIN.rSine" REAL, "MAIN.lrSine" LREAL).
std::vector<SymbolDef> DefaultSymbols();

// Parses the text format of symbol files: one symbol per line,
//   name TYPE initial behaviour [comment]
// TYPE, in any case: BOOL BYTE WORD DWORD LWORD SINT USINT INT UINT DINT UDINT LINT ULINT REAL
// LREAL TIME LTIME TIME_OF_DAY (TOD) DATE DATE_AND_TIME (DT), STRING, STRING(n), WSTRING,
// WSTRING(n) (n up to 65535, for WSTRING 32767); NAME:BASE for a type of the program's own
// stored as the elementary BASE (E_Mode:INT); ARRAY [a..b, c..d] OF ELEMENT with one to three
// dimensions of an elementary ELEMENT, blanks allowed, 64 KiB at most. Initial values: integers in decimal (or 0x hexadecimal);
// the time types as their raw count (TIME and TIME_OF_DAY milliseconds, LTIME nanoseconds,
// DATE and DATE_AND_TIME seconds since 1970); texts, quoted when they have blanks; an array's
// as [v1,v2,...] with one value per element (commas separate, brackets are ignored) or one
// value for all. behaviour one of constant|counter|countdown|sine (arrays: constant); '#'
// starts a comment; blank lines are skipped. Throws SymbolFileError naming every malformed line.
class SymbolFileError : public std::runtime_error {
public:
    SymbolFileError(size_t line, const std::string& what);
    // "line N: reason" for each, one per line of what().
    explicit SymbolFileError(const std::vector<std::pair<size_t, std::string>>& problems);
    size_t Line() const { return line; } // the first malformed line

private:
    size_t line;
};
std::vector<SymbolDef> ParseSymbolText(const std::string& text); // ParseSymbolProgram(text).symbols

// The same format with structure types:
//   TYPE ST_Name
//     member TYPE [initial [behaviour [comment]]]
//   END_TYPE
// A member's TYPE is any variable's, a structure declared before (or an array of one), or BIT;
// its initial value (default zero) and behaviour (default constant) hold in every variable of
// the structure. A variable, or member, of a structure type (or an array of one) is
// `name TYPE [comment]` and starts with its members' initial values. NAME:BASE declares the
// program's own type NAME once; after that NAME alone names it.
SimProgram ParseSymbolProgram(const std::string& text);
// The data-type table of these types as the simulator serves it, one entry per type.
std::vector<uint8_t> EncodeDataTypeTable(const std::vector<StructType>& types, const std::vector<AliasType>& aliases);

struct SimOptions {
    AmsNetId netId{127, 0, 0, 1, 1, 1}; // the PLC's own NetId
    bool ownNetIdOnly = false; // requests to another target NetId get the router's AMS error 0x7
    std::set<uint16_t> adsPorts; // the ADS ports served, others get AMS error 0x6; empty serves all
    std::string deviceName = "PLC Simulator"; // sent zero-padded to 16 bytes, cut at 16
    AdsVersion version{3, 1, 4024};
    uint16_t adsState = ADSSTATE_RUN;
    uint16_t deviceState = 0;
    bool defaultSymbols = true; // load DefaultSymbols() at construction
    std::chrono::milliseconds tickPeriod{100};
    bool symbolInfo = true; // serve the symbol-information services
    bool dataTypeInfo = true; // serve the data-type table (else 0xF00E answers 0x701, count and length 0)
    bool sumCommands = true; // serve the sum commands 0xF080-0xF082, 0xF085, 0xF086 (else 0x701)
    uint32_t maxNotificationsPerClient = 0; // more are refused with 0x716; 0: no limit of its own
};

// One packet as the simulator received it.
struct Request {
    uint64_t connection = 0;       // id of the connection (1, 2, ... in accept order)
    bool hasHeader = false;        // false when the packet was too short for an AMS header
    plc::ads::AoEHeader header;    // decoded AMS header (zeroed when !hasHeader)
    std::vector<uint8_t> data;     // command data after the AMS header, as far as the packet holds it
    std::vector<uint8_t> raw;      // the exact bytes, AMS/TCP header included
    std::chrono::steady_clock::time_point received;
};

// A misbehaviour applied to replies. Build one with the factories, narrow it with
// Times()/For(), and hand it to InjectReplyFault(). Faults are kept in order; each
// reply uses the first one that matches its request's command and has replies left.
struct ReplyFault {
    enum class Kind {
        Delay,            // send the reply `delay` later (other replies are not held up)
        Drop,             // never reply
        WrongInvokeId,    // invoke id XOR 0x80000000, or `value` when non-zero
        UnknownCommand,   // reply command id `value` (default 100)
        AmsError,         // AMS header errorCode `value` (default 0x700); data unchanged
        Oversized,        // append `value` extra bytes (default 16); both lengths claim them
        Undersized,       // AMS length `value` (default 2) and exactly that many data bytes
        ShortFrameBefore, // first an AMS/TCP packet of length `value` (default 10, at most 31) with that many bytes
        Split,            // send the reply one byte per TCP segment
        CloseBefore,      // close the connection instead of replying
        CloseInside,      // send part of the reply (headers + half the data, or `value` bytes), then close
        CloseAfter,       // reply, then close
        ResetBefore,      // like the Close* kinds, but abort with a TCP reset
        ResetInside,
        ResetAfter,
        Edit,             // reply with the command data as `edit` leaves it (after the request was carried out)
    };
    static constexpr uint32_t kForever = UINT32_MAX;

    Kind kind = Kind::Drop;
    uint32_t count = 1;          // replies still to affect; kForever never runs out
    uint16_t command = 0;        // only requests with this command id; 0 matches all
    uint32_t group = 0;          // only requests whose data start with this index group; 0 matches all
    std::chrono::milliseconds delay{0};
    uint32_t value = 0;          // meaning per kind, see above; 0 picks the default
    std::function<void(std::vector<uint8_t>& data)> edit;

    ReplyFault& Times(uint32_t n) { count = n; return *this; }
    ReplyFault& For(uint16_t cmdId) { command = cmdId; return *this; }
    ReplyFault& ForGroup(uint32_t indexGroup) { group = indexGroup; return *this; }
    ReplyFault& Value(uint32_t v) { value = v; return *this; }

    static ReplyFault Delay(std::chrono::milliseconds d) { ReplyFault f; f.kind = Kind::Delay; f.delay = d; return f; }
    static ReplyFault Drop() { return Make(Kind::Drop); }
    static ReplyFault WrongInvokeId() { return Make(Kind::WrongInvokeId); }
    static ReplyFault UnknownCommand(uint16_t id = 100) { return Make(Kind::UnknownCommand, id); }
    static ReplyFault AmsError(uint32_t code = 0x700) { return Make(Kind::AmsError, code); }
    static ReplyFault Oversized(uint32_t extra = 16) { return Make(Kind::Oversized, extra); }
    static ReplyFault Undersized(uint32_t amsLength = 2) { return Make(Kind::Undersized, amsLength); }
    static ReplyFault ShortFrameBefore(uint32_t tcpLength = 10) { return Make(Kind::ShortFrameBefore, tcpLength); }
    static ReplyFault Split() { return Make(Kind::Split); }
    static ReplyFault CloseBefore() { return Make(Kind::CloseBefore); }
    static ReplyFault CloseInside(uint32_t bytes = 0) { return Make(Kind::CloseInside, bytes); }
    static ReplyFault CloseAfter() { return Make(Kind::CloseAfter); }
    static ReplyFault ResetBefore() { return Make(Kind::ResetBefore); }
    static ReplyFault ResetInside(uint32_t bytes = 0) { return Make(Kind::ResetInside, bytes); }
    static ReplyFault ResetAfter() { return Make(Kind::ResetAfter); }
    static ReplyFault Edit(std::function<void(std::vector<uint8_t>& data)> f)
    {
        ReplyFault fault = Make(Kind::Edit);
        fault.edit = std::move(f);
        return fault;
    }

private:
    static ReplyFault Make(Kind k, uint32_t v = 0) { ReplyFault f; f.kind = k; f.value = v; return f; }
};

// Hand-made device notification frames, for feeding a client bad or odd data.
struct RawSample {
    uint32_t handle = 0;
    std::vector<uint8_t> data;
    std::optional<uint32_t> claimedSize; // size field; default data.size()
};
struct RawStamp {
    uint64_t time = 0; // 100 ns units since 1601-01-01 UTC
    std::vector<RawSample> samples;
    std::optional<uint32_t> claimedSampleCount; // default samples.size()
};
struct NotificationFrame {
    AmsAddr target{AmsNetId{0, 0, 0, 0, 0, 0}, 0}; // the client's address (its NetId and local port)
    AmsAddr source{AmsNetId{0, 0, 0, 0, 0, 0}, 0}; // the PLC address the client subscribed on
    std::vector<RawStamp> stamps;
    std::optional<uint32_t> claimedStampCount;   // default stamps.size()
    std::optional<uint32_t> claimedStreamLength; // default: the bytes after this field
    std::optional<uint32_t> claimedAmsLength;    // AMS header length; the AMS/TCP length always matches the bytes
};
// The full packet (AMS/TCP header, AMS header with command 8, stateFlags 4, invokeId 0, payload).
std::vector<uint8_t> BuildNotificationFrame(const NotificationFrame& frame);

// Converts between the PLC clock's unit (100 ns since 1601-01-01 UTC) and the system clock.
uint64_t ToFileTime(std::chrono::system_clock::time_point t);

// The secure transport as a PLC offers it: TLS 1.2 on its own port, then the connect info,
// then the same ADS as on the plain port (see PlcSimulator::StartSecure).
struct SecureSimOptions {
    enum class Mode { PreSharedKey, SharedCa, SelfSigned };
    Mode mode = Mode::PreSharedKey;
    std::string pskIdentity;
    std::string pskPassword;
    std::string caFile;          // shared CA: verifies the client's certificate
    std::string certificateFile; // the simulator's own certificate and key (both certificate modes)
    std::string keyFile;
    // Shared CA: the route's name, which the client certificate's common name must be unless
    // the client asks to ignore it; empty accepts any.
    std::string routeName;
    // Self-signed: client certificates (SHA-256, "AB:CD:...") accepted without credentials.
    std::vector<std::string> pinned;
    // Self-signed: the PLC user whose name and password pin a new client certificate.
    std::string user;
    std::string password;
};

// What one secure client sent before its ADS: the connect info (without its password) and
// the extension types of its ClientHello; `error` is what the simulator answered.
struct SecureClient {
    uint16_t flags = 0;
    uint8_t version = 0;
    AmsNetId netId{0u};
    std::string hostName;
    std::string userName;
    size_t passwordLength = 0;
    uint8_t error = 0;
    std::vector<int> helloExtensions;
};

namespace detail {
class SecureFront;
}

class PlcSimulator {
public:
    explicit PlcSimulator(SimOptions options = {});
    ~PlcSimulator(); // Stop()s
    PlcSimulator(const PlcSimulator&) = delete;
    PlcSimulator& operator=(const PlcSimulator&) = delete;

    // ---- life cycle ----

    // Listens (SO_REUSEADDR) on an IPv4 address; port 0 picks an ephemeral port.
    // Returns the bound port. Throws std::runtime_error when already running or on failure.
    uint16_t Start(const std::string& bindAddress = "127.0.0.1", uint16_t port = 0);
    // Closes the listener and every connection and joins all threads. The model
    // (symbols, memory, handles, states) stays; Start() may be called again.
    void Stop();
    uint16_t Port() const; // 0 before the first Start()
    // "127.0.0.1:<port>" (the bind address, or 127.0.0.1 for a wildcard bind),
    // the form a client route accepts.
    std::string HostString() const;
    bool IsListening() const;
    const SimOptions& Options() const { return options; } // as given at construction

    // Also serves the secure transport on `port` (0 picks one) of the bind address, until
    // Stop(). Call after Start(). Throws std::runtime_error for unusable files or options.
    uint16_t StartSecure(const SecureSimOptions& secure, uint16_t port = 0);
    // "127.0.0.1:<secure port>"; empty when not serving it.
    std::string SecureHostString() const;
    // The secure clients that sent a connect info, oldest first (the latest 1000).
    std::vector<SecureClient> SecureClients() const;
    // TCP connections the secure port accepted, whatever became of them.
    uint64_t SecureAcceptedCount() const;
    // Self-signed: the fingerprints pinned now, those of the options included.
    std::vector<std::string> PinnedFingerprints() const;
    // SHA-256 of the simulator's own certificate ("AB:CD:..."); empty without one.
    std::string SecureCertificateFingerprint() const;

    // ---- device model ----

    void SetState(uint16_t adsState, uint16_t deviceState);
    uint16_t AdsState() const;
    uint16_t DeviceState() const;
    void SetDeviceInfo(const std::string& name, AdsVersion version);

    // Raw memory regions: a region starts at (group, offset); reads and writes must
    // lie inside one region. SetMemory replaces the region starting at that address.
    void SetMemory(uint32_t group, uint32_t offset, const std::vector<uint8_t>& bytes);
    // The bytes at (group, offset) up to length, limited to the region; empty when not covered.
    std::vector<uint8_t> GetMemory(uint32_t group, uint32_t offset, size_t length) const;

    // ---- symbols ----

    // Adds or replaces a symbol; replacing keeps its handles valid.
    void AddSymbol(const std::string& name, std::vector<uint8_t> initial, Behaviour behaviour = Behaviour::Constant,
                   const std::string& typeName = std::string(), const std::string& comment = std::string());
    void AddSymbols(const std::vector<SymbolDef>& symbols);
    // Replaces the symbol table and the types with the program's; handles stay as with AddSymbol.
    void LoadProgram(const SimProgram& program);
    void LoadDefaultSymbols();
    bool RemoveSymbol(const std::string& name); // its handles turn stale
    void ClearSymbols();
    // Sets the bytes (any size; becomes the symbol's size). A member or element name
    // ("MAIN.st.a[2].x") writes over its bytes from the start, at most its size. Throws
    // std::out_of_range for an unknown name or too many bytes for a member.
    void SetSymbolValue(const std::string& name, const std::vector<uint8_t>& bytes);
    // A symbol's, member's or element's bytes. Throws std::out_of_range for an unknown name.
    std::vector<uint8_t> GetSymbolValue(const std::string& name) const;
    bool HasSymbol(const std::string& name) const; // members and elements too

    // A new program: the symbol version counts up, every symbol handle and every notification
    // but those on the symbol version is dropped, and `next` replaces the symbol table when given.
    // The PLC shows STOP for `stop` (none when 0), then RUN.
    void ChangeProgram(std::chrono::milliseconds stop, const std::optional<std::vector<SymbolDef>>& next = {});
    // The same with a program that brings its types (the data-type table changes with it).
    void ChangeProgram(std::chrono::milliseconds stop, const SimProgram& next);
    uint8_t SymbolVersion() const;

    // Period of the behaviour tick (counters, sine). Default from the options.
    void SetTickPeriod(std::chrono::milliseconds period);

    // Open symbol handles, live notifications, open TCP connections.
    size_t OpenHandleCount() const;
    size_t NotificationCount() const;
    // Live notifications one client (by its NetId, any of its local ports) holds.
    size_t NotificationCountFor(const AmsNetId& client) const;
    size_t ConnectionCount() const;
    // Connections accepted since construction (never decreases).
    uint64_t AcceptedCount() const;

    // ---- PLC clock (time stamps of samples) ----

    void SetClock(uint64_t fileTime); // fixed until UseSystemClock()
    void UseSystemClock();
    uint64_t Now() const;

    // ---- recording ----

    std::vector<Request> Requests() const;
    void ClearRequests();
    size_t RequestCount() const;
    // Waits until pred(all recorded requests) is true, at most timeout.
    bool WaitForRequests(const std::function<bool(const std::vector<Request>&)>& pred,
                         std::chrono::milliseconds timeout) const;
    // Keeps only the newest `limit` requests (default 100000).
    void SetRecordLimit(size_t limit);

    // Log sink: connection events, and every request when verbose. Called from server
    // threads; it must not call Stop() or Restart().
    void SetLog(std::function<void(const std::string&)> sink, bool verbose = false);

    // Extension point: called on the connection's thread for every request before the built-in
    // handling. Returning a value replaces the reply's command data (faults still apply); nullopt
    // keeps the default. Throwing ends that connection. It must not call Stop() or Restart().
    using RequestHook = std::function<std::optional<std::vector<uint8_t>>(const Request&)>;
    void SetRequestHook(RequestHook hook);

    // ---- faults ----

    // Serves these bytes as the data-type table, and their length and `count` in the upload info,
    // until ClearDataTypeTableOverride().
    void SetDataTypeTable(std::vector<uint8_t> bytes, uint32_t count);
    void ClearDataTypeTableOverride();

    void InjectReplyFault(const ReplyFault& fault);
    void ClearReplyFaults();
    size_t PendingReplyFaults() const; // faults with replies left

    // Silent: keep reading and recording, never reply, send no notifications, keep TCP open.
    void SetSilent(bool silent);
    bool Silent() const;
    // Silent for one ADS port only: requests to it are recorded but never answered and its
    // notifications send nothing, while the connection and every other port go on.
    void SetSilentPort(uint16_t adsPort, bool silent);

    // Closes the listener and all connections and forgets all handles and notifications
    // at once; listens again on the same port `downtime` later (in the background).
    // Symbols, memory and states stay.
    void Restart(std::chrono::milliseconds downtime);
    // Closes every open connection (orderly FIN); the listener stays.
    void DropConnections();

    // Sends bytes unchanged to every open connection; returns how many got them.
    size_t SendRaw(const std::vector<uint8_t>& bytes);
    // Sends bytes to the most recently accepted connection that is still open.
    bool SendRawToLatest(const std::vector<uint8_t>& bytes);
    // A frame addressed like the simulator's own samples to the most recent request's
    // sender (target = its source, source = its target), with no stamps yet.
    // nullopt when nothing was received yet.
    std::optional<NotificationFrame> FrameForLatestClient() const;
    // Sends `frames` notification frames of `payloadSize` AMS data bytes each (at least 28:
    // one stamp, one sample) back to back to the latest request's sender on its connection, using
    // that connection's newest notification handle (or 0xFFFFFFFF). Returns frames sent.
    size_t Flood(size_t frames, size_t payloadSize);

private:
    void ChangeProgram(std::chrono::milliseconds stop, const SimProgram* next); // nullptr keeps the symbols

    struct Impl;
    friend class detail::SecureFront;
    const SimOptions options;
    std::unique_ptr<Impl> impl;
};

} // namespace plcsim
