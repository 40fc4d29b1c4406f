// The bytes recorded from real controllers live beside the repository and are
// read at run time; a test skips when they are absent.
#pragma once

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

namespace logixtest {

using Json = nlohmann::json;

inline std::filesystem::path VectorsDir() {
    return std::filesystem::path(LOGIX_VECTORS_DIR);
}

inline std::optional<std::string> ReadVectorFile(const std::string& relative) {
    std::ifstream in(VectorsDir() / relative, std::ios::binary);
    if (!in)
        return std::nullopt;
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

#define LOGIX_VECTOR_FILE(var, relative)                                                                     \
    const auto var##Text = logixtest::ReadVectorFile(relative);                                              \
    if (!var##Text)                                                                                          \
        GTEST_SKIP() << "recorded vectors not present: " << (logixtest::VectorsDir() / relative).string();   \
    const std::string& var = *var##Text

// Hex digits anywhere in the text, two to a byte; everything else is skipped.
inline std::vector<std::uint8_t> Hex(std::string_view text) {
    std::vector<std::uint8_t> bytes;
    int high = -1;
    for (const char c : text) {
        const int v =
            std::isxdigit(static_cast<unsigned char>(c)) ? std::stoi(std::string(1, c), nullptr, 16) : -1;
        if (v < 0)
            continue;
        if (high < 0)
            high = v;
        else
            bytes.push_back(static_cast<std::uint8_t>(high * 16 + v)), high = -1;
    }
    return bytes;
}

inline std::vector<Json> JsonLines(const std::string& text) {
    std::vector<Json> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        if (line.find('{') != std::string::npos)
            lines.push_back(Json::parse(line));
    return lines;
}

// The reply bytes of the curated vector with that id (empty when absent).
inline std::vector<std::uint8_t> CuratedReply(const std::vector<Json>& curated, const std::string& id) {
    for (const auto& v : curated)
        if (v.value("id", "") == id)
            return Hex(v["reply"].get<std::string>());
    return {};
}

// The index-th fenced block of the VECTORS.md section headed by heading.
inline std::optional<std::string> SectionBlock(const std::string& markdown, const std::string& heading,
                                               int index = 0) {
    std::size_t at = markdown.find(heading);
    const std::size_t end = at == std::string::npos ? at : markdown.find("\n### ", at + 1);
    for (int i = 0; at != std::string::npos; ++i) {
        const std::size_t open = markdown.find("```", at);
        if (open == std::string::npos || open >= end)
            return std::nullopt;
        const std::size_t body = markdown.find('\n', open) + 1;
        const std::size_t close = markdown.find("```", body);
        if (i == index)
            return markdown.substr(body, close - body);
        at = close + 3;
    }
    return std::nullopt;
}

} // namespace logixtest
