// A component that holds a string list, stored in the component stream in an
// encoded form of its own: the module's settings map lives in one.
//
// Stored form (after the published properties):
//   "InternalVer"  integer, written as 2
//   "StrData"      a list: the key text, then one element per string:
//                  version 2: the string's UTF-8 bytes XOR-ed with the key's
//                  UTF-8 bytes (cycling; none when the key is empty), as two
//                  lower-case hexadecimal digits per byte;
//                  version 1: hexadecimal pairs XOR-ed with the key's bytes;
//                  version 0 (no "InternalVer"): the bytes themselves XOR-ed
//                  with the key's, both cut to 255 characters.
#pragma once

#include "common/qorComponent.h"
#include "common/qorStringList.h"

#include <string>
#include <string_view>

namespace qor {

class TqorStrHolder : public TComponent {
public:
    static constexpr int kStreamVersion = 2;

    TqorStrHolder();
    std::string_view ClassName() const override { return "TqorStrHolder"; }

    TStringList& Strings() { return strings_; }
    const TStringList& Strings() const { return strings_; }
    std::string KeyString;
    // The version of the stored form last read (0: none was given).
    int StreamVersion() const { return streamVersion_; }

    // Copies the strings of a TStringList or another TqorStrHolder.
    bool Assign(const TPersistent& source) override;
    // Copies the strings out.
    void AssignTo(TStringList& dest) const { dest.Assign(strings_.Lines()); }

    bool ReadDefinedProperty(std::string_view name, const TStreamValue& value) override;
    void WriteDefinedProperties(std::vector<TStreamProperty>& out) const override;

    // One string in the stored form of version 2, and back from any version.
    static std::string EncodeString(std::string_view text, std::string_view key);
    static std::string DecodeString(std::string_view data, std::string_view key, int version);

private:
    TStringList strings_;
    int streamVersion_ = 0;
    std::string onChange_, onChanging_; // handler names of the published events
};

} // namespace qor
