#include "store/recovery_file.hpp"

#include "app/log.hpp"
#include "store/event_db.hpp"

#include <fcntl.h>
#include <fmt/format.h>
#include <unistd.h>

#include <nlohmann/json.hpp>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <map>
#include <system_error>

namespace fs = std::filesystem;
using nlohmann::json;

namespace {

constexpr std::string_view PREFIX = "unwritten-";
constexpr std::string_view SUFFIX = ".jsonl";

bool plain_name(std::string const& name) {
    return !name.empty() && std::all_of(name.begin(), name.end(), [](char c) {
        return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
               c == '_';
    });
}

std::string to_hex(std::string const& bytes) {
    static constexpr char digits[] = "0123456789abcdef";
    std::string hex;
    hex.reserve(bytes.size() * 2);
    for (unsigned char const byte : bytes) {
        hex.push_back(digits[byte >> 4]);
        hex.push_back(digits[byte & 15]);
    }
    return hex;
}

std::optional<std::string> from_hex(std::string const& hex) {
    auto const digit = [](char c) -> int {
        if (c >= '0' && c <= '9')
            return c - '0';
        if (c >= 'a' && c <= 'f')
            return c - 'a' + 10;
        if (c >= 'A' && c <= 'F')
            return c - 'A' + 10;
        return -1;
    };
    if (hex.size() % 2 != 0) {
        return std::nullopt;
    }
    std::string bytes;
    bytes.reserve(hex.size() / 2);
    for (std::size_t at = 0; at < hex.size(); at += 2) {
        int const high = digit(hex[at]), low = digit(hex[at + 1]);
        if (high < 0 || low < 0) {
            return std::nullopt;
        }
        bytes.push_back(static_cast<char>(high * 16 + low));
    }
    return bytes;
}

json encode_value(RowValue const& value) {
    switch (value.kind) {
        case RowValue::Kind::Null:
            return nullptr;
        case RowValue::Kind::Integer:
            return value.integer;
        case RowValue::Kind::Text:
            try {
                json text = value.bytes;
                (void)text.dump();  // refuses text that is not UTF-8
                return text;
            } catch (json::type_error const&) {
                return {{"text_hex", to_hex(value.bytes)}};
            }
        case RowValue::Kind::Blob:
            return {{"blob_hex", to_hex(value.bytes)}};
        case RowValue::Kind::LatestIdOf:
            return {{"latest_id_of", value.bytes}};
    }
    return nullptr;
}

std::optional<RowValue> decode_value(json const& value) {
    if (value.is_null()) {
        return RowValue::null();
    }
    if (value.is_number_integer()) {
        return RowValue::number(value.get<std::int64_t>());
    }
    if (value.is_string()) {
        return RowValue::text(value.get<std::string>());
    }
    if (!value.is_object() || value.size() != 1 || !value.begin().value().is_string()) {
        return std::nullopt;
    }
    std::string const& key = value.begin().key();
    std::string const& text = value.begin().value().get_ref<std::string const&>();
    if (key == "latest_id_of") {
        return RowValue::latest_id_of(text);
    }
    auto bytes = from_hex(text);
    if (!bytes || (key != "text_hex" && key != "blob_hex")) {
        return std::nullopt;
    }
    return key == "text_hex" ? RowValue::text(std::move(*bytes))
                             : RowValue::blob(std::move(*bytes));
}

// "20241231T235959.123456Z": names that sort in the order they were made.
std::string utc_stamp(std::chrono::system_clock::time_point when) {
    auto const us = std::chrono::time_point_cast<std::chrono::microseconds>(when);
    auto const day = std::chrono::floor<std::chrono::days>(us);
    std::chrono::year_month_day const date(day);
    std::chrono::hh_mm_ss const time(us - day);
    return fmt::format("{:04}{:02}{:02}T{:02}{:02}{:02}.{:06}Z", static_cast<int>(date.year()),
                       static_cast<unsigned>(date.month()), static_cast<unsigned>(date.day()),
                       time.hours().count(), time.minutes().count(), time.seconds().count(),
                       time.subseconds().count());
}

bool write_all(int fd, std::string const& text) {
    for (std::size_t done = 0; done < text.size();) {
        ssize_t const count = ::write(fd, text.data() + done, text.size() - done);
        if (count < 0 && errno == EINTR) {
            continue;
        }
        if (count <= 0) {
            return false;
        }
        done += static_cast<std::size_t>(count);
    }
    return true;
}

// Writes the whole text to a fresh file of `dir`; its path, or nothing when any step failed (no
// file is left then).
std::optional<fs::path> write_recovery_file(fs::path const& dir, std::string const& text) {
    auto when = std::chrono::system_clock::now();
    for (int attempt = 0; attempt < 100; ++attempt, when += std::chrono::microseconds(1)) {
        fs::path const path = dir / fmt::format("{}{}{}", PREFIX, utc_stamp(when), SUFFIX);
        // Written under another name first: a half-written file is never taken for rows.
        fs::path const partial = path.native() + ".part";
        if (fs::exists(path)) {
            continue;
        }
        int const fd = ::open(partial.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
        if (fd < 0) {
            if (errno == EEXIST) {
                continue;
            }
            return std::nullopt;
        }
        bool const written = write_all(fd, text) && ::fsync(fd) == 0;
        bool const closed = ::close(fd) == 0;
        if (written && closed && ::rename(partial.c_str(), path.c_str()) == 0) {
            if (int const dir_fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
                dir_fd >= 0) {
                ::fsync(dir_fd);
                ::close(dir_fd);
            }
            return path;
        }
        ::unlink(partial.c_str());
        return std::nullopt;
    }
    return std::nullopt;
}

}  // namespace

std::string encode_row(PendingRow const& row) {
    json columns = row.shape->columns;
    json values = json::array();
    for (RowValue const& value : row.values) {
        values.push_back(encode_value(value));
    }
    if (std::find(row.shape->columns.begin(), row.shape->columns.end(), "recorded_at") ==
        row.shape->columns.end()) {
        columns.push_back("recorded_at");
        values.push_back(recorded_at_text(row.received_at));
    }
    return json{{"table", row.shape->table}, {"columns", columns}, {"values", values}}.dump();
}

std::optional<PendingRow> decode_row(std::string_view line) {
    json const object = json::parse(line, nullptr, false);
    if (!object.is_object() || !object.contains("table") || !object["table"].is_string() ||
        !object.contains("columns") || !object["columns"].is_array() ||
        !object.contains("values") || !object["values"].is_array() ||
        object["columns"].size() != object["values"].size() || object["columns"].empty()) {
        return std::nullopt;
    }
    std::vector<std::string> columns;
    std::vector<RowValue> values;
    for (std::size_t at = 0; at < object["columns"].size(); ++at) {
        json const& column = object["columns"][at];
        auto value = decode_value(object["values"][at]);
        if (!column.is_string() || !value) {
            return std::nullopt;
        }
        columns.push_back(column.get<std::string>());
        values.push_back(std::move(*value));
    }
    // Names go into the statement's text: only plain ones are taken.
    std::string const table = object["table"].get<std::string>();
    if (!plain_name(table) || !std::all_of(columns.begin(), columns.end(), plain_name) ||
        !std::all_of(values.begin(), values.end(), [](RowValue const& value) {
            return value.kind != RowValue::Kind::LatestIdOf || plain_name(value.bytes);
        })) {
        return std::nullopt;
    }
    PendingRow row;
    row.shape = RowShape::make(table, std::move(columns), values);
    row.values = std::move(values);
    return row;
}

UnwrittenRows save_unwritten(fs::path const& dir, std::vector<PendingRow> const& rows) {
    std::string text;
    for (PendingRow const& row : rows) {
        text += encode_row(row);
        text += '\n';
    }
    if (auto const path = write_recovery_file(dir, text)) {
        return {rows.size(), path->native()};
    }
    std::fflush(stdout);
    std::fwrite(text.data(), 1, text.size(), stderr);
    std::fflush(stderr);
    return {rows.size(), "standard error"};
}

void import_unwritten(EventDB& db, fs::path const& dir) {
    std::vector<fs::path> files;
    std::error_code error;
    for (fs::directory_iterator it(dir, error), end; !error && it != end; it.increment(error)) {
        std::string const name = it->path().filename().native();
        if (name.starts_with(PREFIX) && name.ends_with(SUFFIX) && it->is_regular_file(error)) {
            files.push_back(it->path());
        }
    }
    std::sort(files.begin(), files.end());
    std::map<std::string, bool> has_recorded_at;
    for (fs::path const& file : files) {
        std::vector<PendingRow> rows;
        std::ifstream in(file, std::ios::binary);
        bool readable = in.good();
        for (std::string line; readable && std::getline(in, line);) {
            if (line.empty()) {
                continue;
            }
            auto row = decode_row(line);
            if (!row) {
                readable = false;
                break;
            }
            rows.push_back(std::move(*row));
        }
        if (!readable || in.bad()) {
            log_line("[EventDB] error: cannot read the unwritten rows of {}; the file is kept",
                     file.native());
            continue;
        }
        // A table made elsewhere may keep no recording time; the row is written without it.
        for (PendingRow& row : rows) {
            auto const& shape = *row.shape;
            auto const at = std::find(shape.columns.begin(), shape.columns.end(), "recorded_at");
            if (at == shape.columns.end()) {
                continue;
            }
            auto [known, fresh] = has_recorded_at.try_emplace(shape.table, false);
            if (fresh) {
                known->second = db.table_has_column(shape.table, "recorded_at");
            }
            if (!known->second) {
                auto const index = static_cast<std::size_t>(at - shape.columns.begin());
                std::vector<std::string> columns = shape.columns;
                columns.erase(columns.begin() + static_cast<std::ptrdiff_t>(index));
                row.values.erase(row.values.begin() + static_cast<std::ptrdiff_t>(index));
                row.shape = RowShape::make(shape.table, std::move(columns), row.values);
            }
        }
        if (!db.write_now(rows)) {
            log_line(
                "[EventDB] error: the unwritten rows of {} could not be written; the file "
                "and any later one are kept",
                file.native());
            return;
        }
        if (!fs::remove(file, error) || error) {
            log_line(
                "[EventDB] error: the unwritten rows of {} were written but the file could "
                "not be removed: {}; remove it before the next start",
                file.native(), error.message());
            continue;
        }
        log_line("[EventDB] {} unwritten rows written from {}", rows.size(), file.native());
    }
}
