// Where the logger sends the data packets: files (JSON lines, CSV), an SQLite
// database and an MQTT broker, each made from a one-line target. An output that
// fails (disk full, broker away, database locked) keeps what it accepted,
// says so once through its log, and resumes by itself; it never throws into
// the caller, so one failing output cannot stop the others.
#pragma once

#include "common/Variant.h"

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace host {

struct TOutputValue {
    std::string Name;
    qor::Variant Value;
};

// One data packet as the outputs see it: the header items of the plug-in's
// packet ("DATE_TIME_STAMP", "DATA_SOURCE_ID", ...) are included as values, the
// row marker "$NEW_ROW$" is not.
struct TOutputPacket {
    std::chrono::system_clock::time_point Time; // when the host received it
    std::string Source;                         // data source name
    std::uint32_t SourceId = 0;
    std::vector<TOutputValue> Values; // in packet order
};

// What became of the packets an output was given. Given = Written + Lost +
// the packets still waiting for their destination.
struct TOutputTally {
    std::uint64_t Given = 0;   // packets passed to Write
    std::uint64_t Written = 0; // at their destination: in the file, committed, acknowledged by the broker
    std::uint64_t Lost = 0;    // given up: buffer full, refused by the destination, not writable
    std::uint64_t Unwritten() const { return Given - Written; }
};

class IOutput {
public:
    virtual ~IOutput() = default;
    virtual const std::string& Target() const = 0; // the text it was made from
    // Called on the host's main thread, never blocks for long (no network or
    // disk wait on the caller's thread beyond a bounded local write). False
    // when this packet will not be written (it is counted as lost).
    virtual bool Write(const TOutputPacket& packet) = 0;
    // The same for a packet the caller no longer needs: an output that keeps
    // packets (to write them on a thread of its own) takes it instead of a copy.
    virtual bool WriteMoved(TOutputPacket&& packet) { return Write(packet); }
    // Everything written so far reaches its destination (files flushed and
    // synced, SQLite committed, MQTT: waits up to timeout for the broker to
    // acknowledge what is buffered). True when every packet given so far is
    // written; called on clean stop.
    virtual bool Flush(std::chrono::milliseconds timeout) = 0;
    virtual TOutputTally Tally() const = 0;
    // Why the output cannot work at all as configured (a file that cannot
    // be opened, a database that cannot be written); empty when it can. A
    // broker that is away is no such reason: it may come back.
    virtual std::string StartProblem() const { return {}; }
    // Files are opened afresh by their path (log rotation: a renamed file
    // stops receiving data, a new one is made); what waits goes to the new one.
    virtual void Reopen() {}
};

// What each output writes:
//   jsonl   one PacketJson line per packet, LF line ends.
//   csv     "time,source,item,value" header when the file is new or empty,
//           then one row per value: receive time as ISO-8601 UTC with
//           milliseconds, data source, item, value text (numbers that read
//           back exactly, true/false, dates as ISO-8601 local time, arrays
//           as JSON, Empty/Null as an empty field); RFC 4180 quoting, CRLF.
//           A packet's rows are in the file whole or not at all.
//   sqlite  table samples (time_ms, time, source, item, value, type), one row
//           per value, the value with SQLite's own type (INTEGER, REAL, TEXT,
//           NULL) and the type name beside it; index samples_item_time on
//           (item, time_ms); WAL journal. Committed by a writer thread at
//           least every second while packets come.
//   mqtt    PacketJson on PREFIX/<data source> (+, # and / in the name become
//           _), QoS 1; retained PREFIX/status "online"/"offline" (the last
//           will says "offline"); up to 10,000 packets buffered while the
//           broker is away or refuses us, the oldest dropped beyond that.
//           mqtts: the same over TLS, the broker's certificate verified
//           against the CA file or the system's CA store, and its name
//           against the host, unless Insecure says otherwise. A refused
//           login, an untrusted or expired certificate, a certificate for
//           another name and a refused client certificate are each logged
//           once, by name.
//   null    discards.
// In every output NaN and the infinities are the texts "NaN", "Infinity" and
// "-Infinity" (JSON strings, SQLite TEXT), and the packet's time stamp
// "DATE_TIME_STAMP" carries this machine's UTC offset
// ("2026-03-01T13:00:00.250+01:00"); other date values have no offset (the
// controller's clock says nothing of its zone).
// The file outputs keep up to 64 MiB of lines, SQLite up to 100,000 packets
// while their destination refuses them.
//
// How the MQTT outputs log in and check the broker: the [host] "mqtt ..."
// keys of the logger's configuration.
struct TMqttOptions {
    std::string User;     // empty: no login
    std::string Password; // with User; goes to the broker and nowhere else
    // mqtts only:
    std::string CaFile;    // empty: the system's CA store
    std::string CertFile;  // a client certificate for brokers that ask for one,
    std::string KeyFile;   // and its key (not encrypted)
    bool Insecure = false; // no verification of the broker's certificate (warned at every start)
};

// Makes an output from its target: "jsonl:PATH", "csv:PATH" ("-" = standard
// output), "sqlite:PATH", "mqtt://HOST[:PORT]/PREFIX" (port 1883),
// "mqtts://HOST[:PORT]/PREFIX" (port 8883), "null". Relative paths are taken
// relative to baseDir. log receives one line per state change (failure,
// recovery) from any thread. Throws std::invalid_argument with a readable
// message for a malformed target.
std::unique_ptr<IOutput> MakeOutput(std::string_view target, const std::string& baseDir,
                                    std::function<void(const std::string&)> log,
                                    const TMqttOptions& mqtt = {});

// Settings the outputs' libraries take once per process, before any of them
// is used (SQLite's, for one, before the first database opens): a program
// that logs calls it first thing in main.
void PrepareOutputLibraries();

// The JSON object of one packet: item names as keys, values as JSON numbers,
// booleans or strings (date/time values as ISO-8601 text; NaN/Inf as text).
std::string PacketJson(const TOutputPacket& packet);

// A value as the CSV output writes it in its value field: numbers that read
// back exactly, true/false, arrays as JSON, dates as ISO-8601 text (the time
// stamp with its UTC offset), NaN and the infinities as text.
std::string ValueTextOf(const TOutputValue& value, std::chrono::system_clock::time_point received);

} // namespace host
