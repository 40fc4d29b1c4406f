// The data-table files of a small PCCC controller (N7, F8, T4, ...), read by
// the typed logical read commands carried in Execute PCCC.
//
// Files are numbered 0..255 and each has one letter whose PCCC file type and
// element size are fixed (N integer 2 bytes, F float 4, T/C/R three words).
// The table is shared between the server's session threads and the tests.
#pragma once

#include "sim/SimBytes.h"

#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <shared_mutex>
#include <span>
#include <string>

namespace sim {

struct PcccFileLayout {
    char Letter;
    std::uint8_t FileType;
    std::uint8_t ElementSize;
};

// The row of a file letter (upper case), or nullptr.
const PcccFileLayout* FindFileLayout(char letter);
const PcccFileLayout* FindFileLayoutByType(std::uint8_t fileType);

struct DataFile {
    char Letter = 'N';
    std::uint8_t Number = 0;
    // ElementCount() × element size bytes, little-endian words.
    Bytes Data;

    const PcccFileLayout& Layout() const; // throws std::invalid_argument for an unknown letter
    std::size_t ElementCount() const { return Data.size() / Layout().ElementSize; }
    std::string Name() const; // "N7"
};

// A file of the letter with `elements` zero elements.
DataFile MakeDataFile(char letter, std::uint8_t number, std::size_t elements);
// A word file (N, B, S, O, I, D, A, and T/C/R as three words per element) from 16-bit words.
DataFile MakeWordFile(char letter, std::uint8_t number, std::span<const std::int32_t> words);
// An F file from floats.
DataFile MakeFloatFile(std::uint8_t number, std::span<const float> values);

class DataTable {
public:
    // Adds or replaces a file. Throws std::invalid_argument for an unknown
    // letter or data that is not a whole number of elements.
    void Set(DataFile file);
    bool Remove(std::uint8_t number);
    void Clear();
    std::optional<DataFile> Find(std::uint8_t number) const;
    std::vector<DataFile> All() const;

    // Overwrites bytes of an existing file from an element on; false when the
    // file is missing or the bytes run past its end.
    bool Write(std::uint8_t number, std::size_t firstElement, ByteView bytes);
    bool WriteWord(std::uint8_t number, std::size_t wordIndex, std::uint16_t value);

    template <class F>
    bool With(std::uint8_t number, F&& f) const {
        std::shared_lock lock(mutex_);
        auto it = files_.find(number);
        if (it == files_.end()) {
            return false;
        }
        f(it->second);
        return true;
    }

private:
    mutable std::shared_mutex mutex_;
    std::map<std::uint8_t, DataFile> files_;
};

} // namespace sim
