#include "tools/report_render.hpp"

#include <fmt/format.h>
#include <fmt/ranges.h>

#include <algorithm>
#include <chrono>

using nlohmann::json;

namespace {

// Buckets of a timeline: enough to read a day's session, few enough for any browser.
constexpr std::size_t TIMELINE_BUCKETS = 200;
constexpr int TIMELINE_WIDTH = 800;
constexpr int TIMELINE_HEIGHT = 90;
constexpr std::size_t DIFF_CONTEXT = 3;

constexpr char const* STYLE = R"css(
body { font: 14px/1.45 system-ui, sans-serif; margin: 1.5em auto; max-width: 70em; color: #222; }
h1 { font-size: 1.5em; } h2 { border-bottom: 1px solid #ccc; margin-top: 2em; }
h3 { font-size: 1em; margin: 1.2em 0 .4em; }
code, pre { font: 13px/1.4 ui-monospace, monospace; }
table.figures td { padding: 0 1.2em 0 0; white-space: nowrap; }
summary { font-weight: bold; margin: 1.2em 0 .4em; cursor: pointer; } table.figures td.n { text-align: right; }
pre.block { background: #f6f6f6; padding: .5em; overflow: auto; max-height: 20em; }
.diff { background: #fafafa; border: 1px solid #ddd; overflow: auto; max-height: 30em; }
.diff div { white-space: pre; font: 13px/1.4 ui-monospace, monospace; padding: 0 .5em; }
.diff .add { background: #e6ffed; color: #0a5d1d; } .diff .del { background: #ffeef0; color: #8a1020; }
.diff .gap { color: #888; background: #f0f0f0; }
.player pre { border: 1px solid #ccc; padding: .5em; max-height: 40em; overflow: auto;
  white-space: pre-wrap; word-break: break-all; }
.player input { width: 100%; box-sizing: border-box; margin: 0; }
pre, .diff { box-sizing: border-box; max-width: 100%; } .player .pos { color: #555; }
.o2 { background: #fff3b0; } .o3 { background: #ffd6a5; } .o5 { background: #ffb3b3; }
.o4 { background: #e4e4ff; }
.legend span { padding: 0 .4em; margin-right: .6em; }
svg text { font: 11px sans-serif; fill: #555; }
)css";

// The replay player: it rebuilds the bytes of the file step by step with the monitor's own rules
// (a deletion, then an insertion at the same offset, each ignored beyond the end), keeping one
// origin code per byte, and remembers the content at regular steps so that moving back is cheap.
constexpr char const* SCRIPT = R"js(
(function () {
  "use strict";
  var data = JSON.parse(document.getElementById("wardlet-data").textContent);
  var CHECKPOINT = 2000;
  var encoder = new TextEncoder();
  var decoder = new TextDecoder("utf-8");
  function bytesOf(base64) {
    var text = atob(base64), bytes = new Uint8Array(text.length);
    for (var i = 0; i !== text.length; i++) bytes[i] = text.charCodeAt(i);
    return bytes;
  }
  function labelsOf(runs, size) {
    var labels = new Uint8Array(size), at = 0;
    runs.forEach(function (run) { labels.fill(run[1], at, at + run[0]); at += run[0]; });
    return labels;
  }
  function Player(root, file) {
    this.root = root; this.file = file; this.count = file.o.length;
    this.slider = root.querySelector("input"); this.pos = root.querySelector(".pos");
    this.view = root.querySelector("pre");
    this.resets = {};
    var self = this;
    file.r.forEach(function (reset) { self.resets[reset[0]] = reset; });
    this.checkpoints = [];
    var start = bytesOf(file.s);
    this.load(start, labelsOf(file.sr, start.length));
    this.save();
    this.slider.max = String(this.count);
    this.slider.addEventListener("input", function () { self.show(Number(self.slider.value)); });
  }
  Player.prototype.load = function (bytes, labels) {
    this.bytes = new Uint8Array(Math.max(16, bytes.length * 2));
    this.labels = new Uint8Array(this.bytes.length);
    this.bytes.set(bytes); this.labels.set(labels); this.size = bytes.length;
    this.at = 0;
  };
  Player.prototype.save = function () {
    this.checkpoints[this.at / CHECKPOINT] = {
      bytes: this.bytes.slice(0, this.size), labels: this.labels.slice(0, this.size) };
  };
  Player.prototype.room = function (needed) {
    if (needed > this.bytes.length) {
      var bytes = new Uint8Array(needed * 2), labels = new Uint8Array(needed * 2);
      bytes.set(this.bytes.subarray(0, this.size)); labels.set(this.labels.subarray(0, this.size));
      this.bytes = bytes; this.labels = labels;
    }
  };
  Player.prototype.step = function () {
    var f = this.file, j = this.at, offset = f.o[j];
    if (offset === -1) {
      var reset = this.resets[j], bytes = bytesOf(reset[1]);
      this.room(bytes.length); this.bytes.set(bytes);
      this.labels.set(labelsOf(reset[2], bytes.length)); this.size = bytes.length;
    } else {
      var removed = f.d[j];
      if (removed !== 0 && offset <= this.size) {
        var count = Math.min(removed, this.size - offset);
        this.bytes.copyWithin(offset, offset + count, this.size);
        this.labels.copyWithin(offset, offset + count, this.size);
        this.size -= count;
      }
      if (f.i[j] !== "" && offset <= this.size) {
        var text = encoder.encode(f.i[j]);
        this.room(this.size + text.length);
        this.bytes.copyWithin(offset + text.length, offset, this.size);
        this.labels.copyWithin(offset + text.length, offset, this.size);
        this.bytes.set(text, offset);
        this.labels.fill(f.k.charCodeAt(j) - 48, offset, offset + text.length);
        this.size += text.length;
      }
    }
    this.last = Math.max(0, offset);
    this.at++;
    if (this.at % CHECKPOINT === 0 && !this.checkpoints[this.at / CHECKPOINT]) this.save();
  };
  Player.prototype.moveTo = function (target) {
    if (target < this.at) {
      var mark = Math.floor(target / CHECKPOINT);
      while (!this.checkpoints[mark]) mark--;
      var saved = this.checkpoints[mark];
      this.load(saved.bytes, saved.labels);
      this.at = mark * CHECKPOINT;
    }
    while (this.at < target) this.step();
  };
  Player.prototype.show = function (target) {
    target = Math.max(0, Math.min(this.count, target));
    this.moveTo(target);
    this.slider.value = String(target);
    var view = this.view, start = 0, changed = null, last = this.last || 0;
    view.textContent = "";
    for (var i = 1; i <= this.size; i++) {
      if (i === this.size || this.labels[i] !== this.labels[start]) {
        var span = document.createElement("span");
        span.className = "o" + this.labels[start];
        span.textContent = decoder.decode(this.bytes.subarray(start, i));
        view.appendChild(span);
        if (changed === null && i > last) changed = span;
        start = i;
      }
    }
    // The latest change in sight.
    if (changed !== null) view.scrollTop = Math.max(0, changed.offsetTop - view.offsetTop - 60);
    var when = this.file.t0 + (target === 0 ? 0 : this.file.t[target - 1]);
    this.pos.textContent = "step " + target + " of " + this.count + ", " + this.size +
      " bytes, " + new Date(when).toISOString();
  };
  var wanted = /step=(\d+|last)/.exec(location.hash);
  document.querySelectorAll(".player").forEach(function (root) {
    var player = new Player(root, data.files[Number(root.getAttribute("data-file"))]);
    var target = !wanted || wanted[1] === "last" ? player.count : Number(wanted[1]);
    player.show(target);
  });
})();
)js";

constexpr char const* ORIGIN_COLOURS[ORIGIN_COUNT] = {"#d0d0d0", "#7fb3e6", "#f2d14b",
                                                      "#f59e42", "#a7a7f0", "#e0484b"};
constexpr char const* ORIGIN_LABELS[ORIGIN_COUNT] = {
    "initial", "typed", "pasted", "internal copy", "undo/redo", "fast insertion"};

std::string base64(std::string_view bytes) {
    static constexpr char ALPHABET[] =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    out.reserve((bytes.size() + 2) / 3 * 4);
    for (std::size_t i = 0; i < bytes.size(); i += 3) {
        std::uint32_t chunk = static_cast<std::uint8_t>(bytes[i]) << 16;
        if (i + 1 < bytes.size())
            chunk |= static_cast<std::uint8_t>(bytes[i + 1]) << 8;
        if (i + 2 < bytes.size())
            chunk |= static_cast<std::uint8_t>(bytes[i + 2]);
        out += ALPHABET[(chunk >> 18) & 63];
        out += ALPHABET[(chunk >> 12) & 63];
        out += i + 1 < bytes.size() ? ALPHABET[(chunk >> 6) & 63] : '=';
        out += i + 2 < bytes.size() ? ALPHABET[chunk & 63] : '=';
    }
    return out;
}

std::int64_t millis(Timestamp time) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(time.time_since_epoch()).count();
}

json runs_json(std::vector<OriginRun> const& runs) {
    json out = json::array();
    for (OriginRun const& run : runs) {
        out.push_back({run.length, static_cast<int>(run.origin)});
    }
    return out;
}

// The change list of a file's player, compact: one array entry per step.
json player_json(SessionRecord const& record, FileReport const& file) {
    json offsets = json::array(), deleted = json::array(), inserted = json::array(),
         times = json::array(), resets = json::array();
    std::string kinds;
    SnapshotRow const& start = record.snapshots[file.start_snapshot];
    Timestamp const t0 = parse_time(start.recorded_at).value_or(Timestamp{});
    Timestamp previous = t0;
    for (std::size_t j = 0; j < file.steps.size(); ++j) {
        ReplayStep const& step = file.steps[j];
        if (step.row == NO_INDEX) {
            SnapshotRow const& snapshot = record.snapshots[step.snapshot];
            previous = parse_time(snapshot.recorded_at).value_or(previous);
            offsets.push_back(-1);
            deleted.push_back(0);
            inserted.push_back("");
            kinds += '0';
            resets.push_back({j, base64(snapshot.content), runs_json(step.runs)});
        } else {
            EditorRow const& row = record.editor[step.row];
            previous = row.time.value_or(previous);
            offsets.push_back(*row.offset);
            deleted.push_back(row.deleted);
            inserted.push_back(row.inserted);
            kinds += static_cast<char>('0' + static_cast<int>(step.origin));
        }
        times.push_back(millis(previous) - millis(t0));
    }
    return {{"s", base64(start.content)},
            {"sr", json::array({json::array({start.content.size(), 0})})},
            {"t0", millis(t0)},
            {"o", offsets},
            {"d", deleted},
            {"i", inserted},
            {"k", kinds},
            {"t", times},
            {"r", resets}};
}

// JSON inside a script element: no "<", ">" or "&" that a parser could take for markup.
std::string script_json(json const& value) {
    std::string const text = value.dump(-1, ' ', false, json::error_handler_t::replace);
    std::string out;
    out.reserve(text.size());
    for (char const c : text) {
        switch (c) {
            case '<':
                out += "\\u003c";
                break;
            case '>':
                out += "\\u003e";
                break;
            case '&':
                out += "\\u0026";
                break;
            default:
                out += c;
        }
    }
    return out;
}

std::string time_text(std::optional<Timestamp> const& time) {
    return time ? timestamp2str(*time).substr(0, 23) : "-";
}

void write_timeline(SessionReport const& report, FileReport const& file, std::string& out) {
    if (!report.first_activity || file.activity.empty()) {
        out += "<p>No activity.</p>\n";
        return;
    }
    std::int64_t const from = millis(*report.first_activity);
    std::int64_t const span = std::max<std::int64_t>(1, millis(*report.last_activity) - from + 1);
    std::size_t const buckets =
        std::min<std::size_t>(TIMELINE_BUCKETS, static_cast<std::size_t>(span));
    struct Bucket {
        std::size_t edits = 0, bytes = 0, pastes = 0, copies = 0, saves = 0, fast = 0;
    };
    std::vector<Bucket> counts(buckets);
    for (Activity const& activity : file.activity) {
        auto const at = static_cast<std::size_t>((millis(activity.time) - from) *
                                                 static_cast<std::int64_t>(buckets) / span);
        Bucket& bucket = counts[std::min(at, buckets - 1)];
        switch (activity.kind) {
            case ActivityKind::paste:
                ++bucket.pastes;
                [[fallthrough]];
            case ActivityKind::internal_copy:
                bucket.copies += activity.kind == ActivityKind::internal_copy ? 1 : 0;
                [[fallthrough]];
            case ActivityKind::edit:
                ++bucket.edits;
                bucket.bytes += activity.bytes;
                break;
            case ActivityKind::save:
                ++bucket.saves;
                break;
            case ActivityKind::fast_insertion:
                ++bucket.fast;
                break;
        }
    }
    std::size_t most = 1;
    for (Bucket const& bucket : counts) {
        most = std::max(most, bucket.edits);
    }
    double const width = static_cast<double>(TIMELINE_WIDTH) / static_cast<double>(buckets);
    int const base = TIMELINE_HEIGHT - 16;
    out += fmt::format(
        "<svg xmlns=\"http://www.w3.org/2000/svg\" class=\"timeline\" width=\"{0}\" "
        "height=\"{1}\" viewBox=\"0 0 {0} {1}\" role=\"img\">\n"
        "<line x1=\"0\" y1=\"{2}\" x2=\"{0}\" y2=\"{2}\" stroke=\"#999\"/>\n",
        TIMELINE_WIDTH, TIMELINE_HEIGHT, base);
    for (std::size_t i = 0; i < buckets; ++i) {
        Bucket const& b = counts[i];
        if (b.edits + b.saves + b.fast == 0) {
            continue;
        }
        double const x = width * static_cast<double>(i);
        Timestamp const begins{std::chrono::milliseconds(
            from + span * static_cast<std::int64_t>(i) / static_cast<std::int64_t>(buckets))};
        double const height =
            (base - 14) * static_cast<double>(b.edits) / static_cast<double>(most);
        out += fmt::format(
            "<rect x=\"{:.1f}\" y=\"{:.1f}\" width=\"{:.1f}\" height=\"{:.1f}\" fill=\"#7fb3e6\">"
            "<title>from {}: {} changes ({} bytes inserted), {} pastes, {} internal copies, {} "
            "saves, {} fast insertions</title></rect>\n",
            x, base - height, std::max(width - 0.5, 0.5), height, time_text(begins), b.edits,
            b.bytes, b.pastes, b.copies, b.saves, b.fast);
        double const mid = x + width / 2;
        if (b.pastes != 0) {
            out += fmt::format("<circle cx=\"{:.1f}\" cy=\"6\" r=\"3.5\" fill=\"{}\"/>\n", mid,
                               ORIGIN_COLOURS[2]);
        }
        if (b.copies != 0) {
            out += fmt::format("<circle cx=\"{:.1f}\" cy=\"14\" r=\"3.5\" fill=\"{}\"/>\n", mid,
                               ORIGIN_COLOURS[3]);
        }
        if (b.fast != 0) {
            out +=
                fmt::format("<rect x=\"{:.1f}\" y=\"0\" width=\"2\" height=\"{}\" fill=\"{}\"/>\n",
                            mid - 1, base, ORIGIN_COLOURS[5]);
        }
        if (b.saves != 0) {
            out += fmt::format(
                "<rect x=\"{:.1f}\" y=\"{}\" width=\"2\" height=\"4\" fill=\"#2a8a3a\"/>\n",
                mid - 1, base + 1);
        }
    }
    out += fmt::format(
        "<text x=\"0\" y=\"{0}\">{1}</text><text x=\"{2}\" y=\"{0}\" "
        "text-anchor=\"end\">{3}</text>\n</svg>\n"
        "<p class=\"legend\">bars: changes per {4} ms; marks: <span class=\"o2\">paste</span>"
        "<span class=\"o3\">internal copy</span><span class=\"o5\">fast insertion</span>"
        "green tick: save</p>\n",
        TIMELINE_HEIGHT - 2, time_text(report.first_activity), TIMELINE_WIDTH,
        time_text(report.last_activity), span / static_cast<std::int64_t>(buckets));
}

void write_shares(FileReport const& file, std::string& out) {
    std::size_t const size = file.final_content.size();
    out += fmt::format("<h3>Final content: {} bytes</h3>\n", size);
    out += "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"800\" height=\"14\">";
    double x = 0;
    for (std::size_t i = 0; i < ORIGIN_COUNT && size != 0; ++i) {
        double const w = 800.0 * static_cast<double>(file.shares[i]) / static_cast<double>(size);
        out +=
            fmt::format("<rect x=\"{:.2f}\" y=\"0\" width=\"{:.2f}\" height=\"14\" fill=\"{}\"/>",
                        x, w, ORIGIN_COLOURS[i]);
        x += w;
    }
    out += "</svg>\n<p class=\"legend\">";
    for (std::size_t i = 0; i < ORIGIN_COUNT; ++i) {
        out += fmt::format("<span style=\"border-left: 1em solid {}\">{}: {} bytes</span>",
                           ORIGIN_COLOURS[i], ORIGIN_LABELS[i], file.shares[i]);
    }
    out += "</p>\n";
}

void write_file(SessionRecord const& record, SessionReport const& report, std::size_t index,
                std::string& out) {
    FileReport const& file = report.files[index];
    out += fmt::format(
        "<section class=\"file\" id=\"file-{}\">\n<h2>{}</h2>\n<p><code>{}</code></p>\n", index,
        html_escape(file.relative.native()), html_escape(file.path.native()));
    std::vector<std::size_t> paste_sizes;
    for (std::size_t row : file.pastes) {
        paste_sizes.push_back(record.editor[row].inserted.size());
    }
    std::pair<char const*, std::string> const figures[] = {
        {"first activity", time_text(file.first_activity)},
        {"last activity", time_text(file.last_activity)},
        {"editors", file.editors.empty()
                        ? std::string("none")
                        : html_escape(fmt::format("{}", fmt::join(file.editors, ", ")))},
        {"editor changes", std::to_string(file.changes)},
        {"bytes inserted", std::to_string(file.bytes_inserted)},
        {"bytes deleted", std::to_string(file.bytes_deleted)},
        {"pastes", paste_summary(paste_sizes)},
        {"undo/redo changes", std::to_string(file.undo_redo)},
        {"internal copies", std::to_string(file.internal_copies.size())},
        {"saves", std::to_string(file.saves)},
        {"fast insertions", std::to_string(file.fast_insertions.size())}};
    out += "<table class=\"figures\">\n";
    for (auto const& [name, value] : figures) {
        out += fmt::format("<tr><td>{}</td><td class=\"n\">{}</td></tr>\n", name, value);
    }
    out += "</table>\n";
    if (file.not_replayed.empty()) {
        write_shares(file, out);
    } else {
        out += fmt::format("<p>Not replayed: {}.</p>\n", html_escape(file.not_replayed));
    }
    out += "<h3>Timeline</h3>\n";
    write_timeline(report, file, out);
    if (!file.internal_copies.empty()) {
        out += fmt::format("<details><summary>{} internal copies</summary>\n",
                           file.internal_copies.size());
        for (std::size_t row : file.internal_copies) {
            out += fmt::format("<p>{}</p><pre class=\"block o3\">{}</pre>\n",
                               time_text(record.editor[row].time),
                               html_escape(record.editor[row].inserted));
        }
        out += "</details>\n";
    }
    if (!file.fast_insertions.empty()) {
        out += "<h3>Fast insertions</h3>\n";
    }
    for (std::size_t row : file.fast_insertions) {
        bool const between_runs = std::find(file.between_runs.begin(), file.between_runs.end(),
                                            row) != file.between_runs.end();
        out += fmt::format("<p>{}{}</p>\n<div class=\"diff\">\n", time_text(record.files[row].time),
                           between_runs ? " (changed while no monitor ran)" : "");
        for (DiffLine const& line : condensed_diff(record.files[row].diff, DIFF_CONTEXT)) {
            if (line.kind == ' ') {
                out += fmt::format("<div class=\"gap\">  ... {} unchanged lines</div>\n", line.gap);
                continue;
            }
            char const* const kind = line.kind == '+' ? "add" : line.kind == '-' ? "del" : "ctx";
            out += fmt::format("<div class=\"{}\">{} {}</div>\n", kind,
                               line.kind == '=' ? ' ' : line.kind, html_escape(line.text));
        }
        out += "</div>\n";
    }
    if (file.not_replayed.empty()) {
        out += fmt::format(
            "<h3>Replay</h3>\n<div class=\"player\" data-file=\"{}\">\n"
            "<input type=\"range\" min=\"0\" max=\"{}\" value=\"0\" aria-label=\"step\"/>\n"
            "<div class=\"pos\"></div>\n<p class=\"legend\"><span class=\"o2\">pasted</span>"
            "<span class=\"o3\">internal copy</span><span class=\"o5\">fast insertion</span>"
            "<span class=\"o4\">undo/redo</span></p>\n<pre class=\"content\"></pre>\n</div>\n",
            index, file.steps.size());
    }
    out += "</section>\n";
}

}  // namespace

std::string html_escape(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (char const c : text) {
        switch (c) {
            case '&':
                out += "&amp;";
                break;
            case '<':
                out += "&lt;";
                break;
            case '>':
                out += "&gt;";
                break;
            case '"':
                out += "&quot;";
                break;
            case '\'':
                out += "&#39;";
                break;
            default:
                // Control characters other than tab and line feed are not allowed in the markup.
                if (static_cast<unsigned char>(c) < 0x20 && c != '\t' && c != '\n') {
                    out += "\xef\xbf\xbd";
                } else {
                    out += c;
                }
        }
    }
    return out;
}

void write_html_report(SessionRecord const& record, SessionReport const& report,
                       std::ostream& stream) {
    std::string out;
    out +=
        "<!DOCTYPE html>\n<html xmlns=\"http://www.w3.org/1999/xhtml\" lang=\"en\">\n<head>\n"
        "<meta charset=\"utf-8\"/>\n<title>Wardlet session report</title>\n<style>";
    out += STYLE;
    out += "</style>\n</head>\n<body>\n<h1>Wardlet session report</h1>\n";
    out += fmt::format("<p>Project <code>{}</code>, database <code>{}</code></p>\n",
                       html_escape(report.project.native()), html_escape(report.database.native()));
    if (report.empty) {
        out += "<p>Nothing recorded yet: the database holds no rows.</p>\n";
    } else {
        out += fmt::format("<p>Activity from {} to {} (UTC), {} tracked files:</p>\n<ul>\n",
                           time_text(report.first_activity), time_text(report.last_activity),
                           report.files.size());
        for (std::size_t i = 0; i < report.files.size(); ++i) {
            out += fmt::format("<li><a href=\"#file-{}\">{}</a></li>\n", i,
                               html_escape(report.files[i].relative.native()));
        }
        out += "</ul>\n";
    }
    json players = json::array();
    for (std::size_t i = 0; i < report.files.size(); ++i) {
        write_file(record, report, i, out);
        players.push_back(report.files[i].not_replayed.empty()
                              ? player_json(record, report.files[i])
                              : json(nullptr));
    }
    out += "<script type=\"application/json\" id=\"wardlet-data\">";
    out += script_json({{"files", players}});
    out += "</script>\n<script>//<![CDATA[";
    out += SCRIPT;
    out += "//]]></script>\n</body>\n</html>\n";
    stream << out;
}
