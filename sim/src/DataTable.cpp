#include "sim/DataTable.h"

#include <array>
#include <stdexcept>

namespace sim {
namespace {

// PCCC file types and element sizes of the data-table file letters.
constexpr std::array<PcccFileLayout, 12> FileLayouts = {{
    {'N', 0x89, 2},
    {'F', 0x8A, 4},
    {'D', 0x8F, 2},
    {'B', 0x85, 2},
    {'A', 0x8E, 2},
    {'T', 0x86, 6},
    {'C', 0x87, 6},
    {'R', 0x88, 6},
    {'S', 0x84, 2},
    {'O', 0x8B, 2},
    {'I', 0x8C, 2},
    {'L', 0x91, 4},
}};

void Validate(const DataFile& file) {
    const PcccFileLayout& layout = file.Layout();
    if (file.Data.size() % layout.ElementSize != 0) {
        throw std::invalid_argument("data file " + file.Name() + ": not a whole number of elements");
    }
    if (file.Data.empty()) {
        throw std::invalid_argument("data file " + file.Name() + ": no elements");
    }
}

} // namespace

const PcccFileLayout* FindFileLayout(char letter) {
    for (const PcccFileLayout& layout : FileLayouts) {
        if (layout.Letter == letter) {
            return &layout;
        }
    }
    return nullptr;
}

const PcccFileLayout* FindFileLayoutByType(std::uint8_t fileType) {
    for (const PcccFileLayout& layout : FileLayouts) {
        if (layout.FileType == fileType) {
            return &layout;
        }
    }
    return nullptr;
}

const PcccFileLayout& DataFile::Layout() const {
    const PcccFileLayout* layout = FindFileLayout(Letter);
    if (layout == nullptr) {
        throw std::invalid_argument(std::string("unknown data file letter '") + Letter + "'");
    }
    return *layout;
}

std::string DataFile::Name() const {
    return std::string(1, Letter) + std::to_string(Number);
}

DataFile MakeDataFile(char letter, std::uint8_t number, std::size_t elements) {
    DataFile file;
    file.Letter = letter;
    file.Number = number;
    file.Data.assign(elements * file.Layout().ElementSize, 0);
    return file;
}

DataFile MakeWordFile(char letter, std::uint8_t number, std::span<const std::int32_t> words) {
    DataFile file;
    file.Letter = letter;
    file.Number = number;
    const std::size_t wordsPerElement = file.Layout().ElementSize / 2;
    if (file.Layout().Letter == 'F') {
        throw std::invalid_argument("F files hold floats");
    }
    const std::size_t elements = (words.size() + wordsPerElement - 1) / wordsPerElement;
    file.Data.assign(elements * file.Layout().ElementSize, 0);
    for (std::size_t i = 0; i < words.size(); ++i) {
        if (words[i] < -32768 || words[i] > 65535) {
            throw std::invalid_argument("data file " + file.Name() + ": word value out of range");
        }
        const auto w = static_cast<std::uint16_t>(words[i]);
        file.Data[2 * i] = static_cast<std::uint8_t>(w);
        file.Data[2 * i + 1] = static_cast<std::uint8_t>(w >> 8);
    }
    return file;
}

DataFile MakeFloatFile(std::uint8_t number, std::span<const float> values) {
    DataFile file;
    file.Letter = 'F';
    file.Number = number;
    for (float v : values) {
        PutValue(file.Data, v);
    }
    return file;
}

void DataTable::Set(DataFile file) {
    Validate(file);
    std::unique_lock lock(mutex_);
    files_[file.Number] = std::move(file);
}

bool DataTable::Remove(std::uint8_t number) {
    std::unique_lock lock(mutex_);
    return files_.erase(number) > 0;
}

void DataTable::Clear() {
    std::unique_lock lock(mutex_);
    files_.clear();
}

std::optional<DataFile> DataTable::Find(std::uint8_t number) const {
    std::shared_lock lock(mutex_);
    auto it = files_.find(number);
    if (it == files_.end()) {
        return std::nullopt;
    }
    return it->second;
}

std::vector<DataFile> DataTable::All() const {
    std::shared_lock lock(mutex_);
    std::vector<DataFile> result;
    for (const auto& [number, file] : files_) {
        result.push_back(file);
    }
    return result;
}

bool DataTable::Write(std::uint8_t number, std::size_t firstElement, ByteView bytes) {
    std::unique_lock lock(mutex_);
    auto it = files_.find(number);
    if (it == files_.end()) {
        return false;
    }
    DataFile& file = it->second;
    const std::size_t offset = firstElement * file.Layout().ElementSize;
    if (offset > file.Data.size() || bytes.size() > file.Data.size() - offset) {
        return false;
    }
    std::copy(bytes.begin(), bytes.end(), file.Data.begin() + static_cast<std::ptrdiff_t>(offset));
    return true;
}

bool DataTable::WriteWord(std::uint8_t number, std::size_t wordIndex, std::uint16_t value) {
    std::unique_lock lock(mutex_);
    auto it = files_.find(number);
    if (it == files_.end() || wordIndex >= it->second.Data.size() / 2) {
        return false;
    }
    it->second.Data[2 * wordIndex] = static_cast<std::uint8_t>(value);
    it->second.Data[2 * wordIndex + 1] = static_cast<std::uint8_t>(value >> 8);
    return true;
}

} // namespace sim
