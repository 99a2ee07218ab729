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
section.file { content-visibility: auto; contain-intrinsic-size: auto 2400px; }
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
.o4 { background: #e4e4ff; } .o1 { background: #e3f0fb; } .o6 { background: #d9f2d0; }
table.summary { border-collapse: collapse; margin: .5em 0 1em; }
table.summary th, table.summary td { padding: .15em .6em; border-bottom: 1px solid #e4e4e4; }
table.summary th { text-align: left; background: #f3f3f3; cursor: default; }
table.summary td.n { text-align: right; } tr.look td:first-child { font-weight: bold; }
dl.glossary dt { font-weight: bold; float: left; clear: left; width: 11em; }
dl.glossary dd { margin: 0 0 .3em 12em; } time { border-bottom: 1px dotted #aaa; }
table.sessions td { padding: 0 1em 0 0; white-space: nowrap; } table.sessions td.n { text-align: right; }
.legend span { padding: 0 .4em; margin-right: .6em; }
svg text { font: 11px sans-serif; fill: #555; }
)css";

// The replay player: it rebuilds the bytes of the file step by step with the monitor's own rules
// (a deletion, then an insertion at the same offset, each ignored beyond the end), keeping one
// origin code per byte. It decodes its steps from the compact stream as it plays, edits around a
// gap that follows the latest change (typing costs no copying of the text), and remembers the
// content at regular steps so that moving back is cheap.
constexpr char const* SCRIPT = R"js(
(function () {
  "use strict";
  var data = JSON.parse(document.getElementById("wardlet-data").textContent);
  var CHECKPOINT = 2000;
  var RESET = 7, AT_CURSOR = 8, NOTHING_DELETED = 16, ONE_BYTE = 32, SAME_PAUSE = 64;
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
    this.root = root; this.file = file; this.count = file.n;
    this.slider = root.querySelector("input"); this.pos = root.querySelector(".pos");
    this.view = root.querySelector("pre");
    this.stream = bytesOf(file.e);
    this.resets = {};
    var self = this;
    file.r.forEach(function (reset) { self.resets[reset[0]] = reset; });
    this.checkpoints = [];
    var start = bytesOf(file.s);
    this.load(start, labelsOf(file.sr, start.length));
    this.at = 0; this.read = 0; this.cursor = 0; this.time = 0; this.pause = 0; this.last = 0;
    this.save();
    this.slider.max = String(this.count);
    this.slider.addEventListener("input", function () {
      self.show(Number(self.slider.value));
      self.reveal()();
    });
  }
  // The text lies in bytes[0, gap) and bytes[gapEnd, bytes.length), and so do its labels.
  Player.prototype.load = function (bytes, labels) {
    var room = Math.max(64, bytes.length * 2);
    this.bytes = new Uint8Array(room); this.labels = new Uint8Array(room);
    this.bytes.set(bytes); this.labels.set(labels);
    this.size = bytes.length; this.gap = bytes.length; this.gapEnd = room;
  };
  Player.prototype.content = function () {
    var bytes = new Uint8Array(this.size), labels = new Uint8Array(this.size);
    bytes.set(this.bytes.subarray(0, this.gap));
    bytes.set(this.bytes.subarray(this.gapEnd), this.gap);
    labels.set(this.labels.subarray(0, this.gap));
    labels.set(this.labels.subarray(this.gapEnd), this.gap);
    return { bytes: bytes, labels: labels };
  };
  Player.prototype.save = function () {
    var saved = this.content();
    saved.at = this.at; saved.read = this.read; saved.cursor = this.cursor;
    saved.time = this.time; saved.pause = this.pause; saved.last = this.last;
    this.checkpoints[this.at / CHECKPOINT] = saved;
  };
  Player.prototype.moveGap = function (to) {
    var b = this.bytes, l = this.labels;
    if (to < this.gap) {
      var n = this.gap - to;
      b.copyWithin(this.gapEnd - n, to, this.gap); l.copyWithin(this.gapEnd - n, to, this.gap);
      this.gap = to; this.gapEnd -= n;
    } else if (to > this.gap) {
      var m = to - this.gap;
      b.copyWithin(this.gap, this.gapEnd, this.gapEnd + m);
      l.copyWithin(this.gap, this.gapEnd, this.gapEnd + m);
      this.gap = to; this.gapEnd += m;
    }
  };
  Player.prototype.room = function (needed) {
    if (this.gapEnd - this.gap >= needed) return;
    var saved = this.content(), gap = this.gap, room = (this.size + needed) * 2;
    this.bytes = new Uint8Array(room); this.labels = new Uint8Array(room);
    this.bytes.set(saved.bytes.subarray(0, gap)); this.labels.set(saved.labels.subarray(0, gap));
    var after = this.size - gap;
    this.bytes.set(saved.bytes.subarray(gap), room - after);
    this.labels.set(saved.labels.subarray(gap), room - after);
    this.gapEnd = room - after;
  };
  Player.prototype.number = function () {
    var s = this.stream, value = 0, scale = 1, b;
    do { b = s[this.read++]; value += (b & 127) * scale; scale *= 128; } while (b & 128);
    return value;
  };
  Player.prototype.signed = function () {
    var v = this.number();
    return v % 2 === 0 ? v / 2 : -(v + 1) / 2;
  };
  Player.prototype.step = function () {
    var head = this.stream[this.read++];
    if (!(head & SAME_PAUSE)) this.pause = this.signed();
    this.time += this.pause;
    var origin = head & 7;
    if (origin === RESET) {
      var reset = this.resets[this.at], bytes = bytesOf(reset[1]);
      this.load(bytes, labelsOf(reset[2], bytes.length));
      this.cursor = 0; this.last = 0;
    } else {
      var offset = head & AT_CURSOR ? this.cursor : this.cursor + this.signed();
      var removed = head & NOTHING_DELETED ? 0 : this.number();
      var length = head & ONE_BYTE ? 1 : this.number();
      var text = this.stream.subarray(this.read, this.read + length);
      this.read += length;
      if (removed !== 0 && offset <= this.size) {
        this.moveGap(offset);
        var count = Math.min(removed, this.size - offset);
        this.gapEnd += count; this.size -= count;
      }
      if (length !== 0 && offset <= this.size) {
        this.room(length);
        this.moveGap(offset);
        this.bytes.set(text, this.gap); this.labels.fill(origin, this.gap, this.gap + length);
        this.gap += length; this.size += length;
      }
      this.cursor = offset + length; this.last = offset;
    }
    this.at++;
    if (this.at % CHECKPOINT === 0 && !this.checkpoints[this.at / CHECKPOINT]) this.save();
  };
  Player.prototype.moveTo = function (target) {
    if (target < this.at) {
      var mark = Math.floor(target / CHECKPOINT);
      while (!this.checkpoints[mark]) mark--;
      var saved = this.checkpoints[mark];
      this.load(saved.bytes, saved.labels);
      this.at = saved.at; this.read = saved.read; this.cursor = saved.cursor;
      this.time = saved.time; this.pause = saved.pause; this.last = saved.last;
    }
    while (this.at < target) this.step();
  };
  // The latest change in sight, apart from show() as it needs the page laid out (a player built
  // out of sight does it when it comes into sight): reads the layout, returns what scrolls.
  Player.prototype.reveal = function () {
    var view = this.view, changed = this.changed;
    if (changed === null) return function () {};
    var top = Math.max(0, changed.offsetTop - view.offsetTop - 60);
    return function () { view.scrollTop = top; };
  };
  Player.prototype.show = function (target) {
    target = Math.max(0, Math.min(this.count, target));
    this.moveTo(target);
    this.slider.value = String(target);
    this.root.setAttribute("data-step", String(target));
    var shown = this.content(), bytes = shown.bytes, labels = shown.labels;
    var view = this.view, start = 0, changed = null, last = this.last;
    view.textContent = "";
    for (var i = 1; i <= this.size; i++) {
      if (i === this.size || labels[i] !== labels[start]) {
        var span = document.createElement("span");
        span.className = "o" + labels[start];
        span.textContent = decoder.decode(bytes.subarray(start, i));
        view.appendChild(span);
        if (changed === null && i > last) changed = span;
        start = i;
      }
    }
    this.changed = changed;
    var when = this.file.t0 + this.time;
    var time = new Date(when + this.file.tz * 1000).toISOString();
    this.pos.textContent = "step " + target + " of " + this.count + ", " + this.size +
      (this.size === 1 ? " byte, " : " bytes, ") + time.slice(0, 10) + " " + time.slice(11, 19);
    this.pos.title = new Date(when).toISOString();
  };
  // Parts kept as text: a folded list when it is opened, the dots of a chart soon after the page
  // opened, one chart at a time, and everything before printing.
  function dotsOf(lines) {
    return lines.split("\n").filter(Boolean).map(function (line) {
      var tab = line.indexOf("\t"), f = line.slice(0, tab).split(" "), n = Number(f[2]);
      return "<circle cx=\"" + f[0] + "\" cy=\"" + f[1] + "\" r=\"2\" fill=\"#b06bd0\"><title>" +
        line.slice(tab + 1) + ": " + n + (n === 1 ? " character" : " characters") +
        " typed</title></circle>\n";
    }).join("");
  }
  var deferred = [], charts = [];
  document.querySelectorAll("script.deferred").forEach(function (block) {
    var target = document.getElementById(block.getAttribute("data-for")), done = false;
    var fill = function () {
      if (done) return;
      done = true;
      // The text between the lines that open and close its character data section.
      var text = block.textContent;
      text = text.slice(text.indexOf("\n") + 1, text.lastIndexOf("//]" + "]>"));
      target.insertAdjacentHTML("beforeend",
        block.type === "text/x-wardlet-dots" ? dotsOf(text) : text);
      block.parentNode.removeChild(block);
    };
    deferred.push(fill);
    if (target.tagName.toLowerCase() === "details") target.addEventListener("toggle", fill);
    else charts.push(fill);
  });
  setTimeout(function next() {
    if (charts.length !== 0) { charts.shift()(); setTimeout(next, 0); }
  }, 0);
  window.addEventListener("beforeprint", function () { deferred.forEach(function (f) { f(); }); });
  // Players are built on demand: one that comes into sight at once, with its latest change in
  // sight; the others one at a time after the page opened, so that every player is ready soon.
  var wanted = /step=(\d+|last)/.exec(location.hash);
  var waiting = Array.prototype.slice.call(document.querySelectorAll(".player"));
  var built = new Map();
  function build(root) {
    var player = built.get(root);
    if (!player) {
      player = new Player(root, data.files[Number(root.getAttribute("data-file"))]);
      player.show(!wanted || wanted[1] === "last" ? player.count : Number(wanted[1]));
      built.set(root, player);
    }
    return player;
  }
  window.addEventListener("beforeprint", function () { waiting.forEach(build); });
  if (typeof IntersectionObserver === "function") {
    var sight = new IntersectionObserver(function (entries) {
      entries.forEach(function (entry) {
        if (!entry.isIntersecting) return;
        sight.unobserve(entry.target);
        build(entry.target).reveal()();
      });
    }, { rootMargin: "300px" });
    waiting.forEach(function (root) { sight.observe(root); });
    setTimeout(function next() {
      var root = waiting.shift();
      if (root) { build(root); setTimeout(next, 0); }
    }, 0);
  } else {
    waiting.map(build).map(function (player) { return player.reveal(); })
      .forEach(function (f) { f(); });
  }
})();
)js";

constexpr char const* ORIGIN_COLOURS[ORIGIN_COUNT] = {"#d0d0d0", "#7fb3e6", "#f2d14b", "#f59e42",
                                                      "#a7a7f0", "#e0484b", "#6cc04a"};
constexpr char const* ORIGIN_LABELS[ORIGIN_COUNT] = {
    "initial", "typed", "pasted", "internal copy", "undo/redo", "fast insertion", "bulk"};

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

// A player's steps in a compact byte stream that the page decodes as it plays: per step a head
// byte, then only the fields the head does not settle, as unsigned LEB128 numbers (signed ones
// zigzag-coded), then the inserted bytes. Typing a letter costs four bytes.
class StepStream {
public:
    // Head bits: the origin of the inserted bytes, or RESET (a reset comes from the list of
    // resets); then flags for the common cases.
    static constexpr unsigned RESET = 7;
    static constexpr unsigned AT_CURSOR = 8;  // the offset is where the step before ended
    static constexpr unsigned NOTHING_DELETED = 16;
    static constexpr unsigned ONE_BYTE = 32;    // one byte inserted
    static constexpr unsigned SAME_PAUSE = 64;  // as long after the step before as that one
    // Offsets and counts beyond any content act alike: they are capped where the page's numbers
    // stay exact.
    static constexpr std::uint64_t CAP = std::uint64_t{1} << 40;

    void reset(std::int64_t time_ms) {
        head(RESET, time_ms);
        cursor_ = 0;
    }
    void edit(Origin origin, std::int64_t time_ms, std::uint64_t offset, std::uint64_t deleted,
              std::string_view inserted) {
        offset = std::min(offset, CAP);
        deleted = std::min<std::uint64_t>(deleted, CAP);
        unsigned flags = static_cast<unsigned>(origin);
        flags |= offset == cursor_ ? AT_CURSOR : 0;
        flags |= deleted == 0 ? NOTHING_DELETED : 0;
        flags |= inserted.size() == 1 ? ONE_BYTE : 0;
        head(flags, time_ms);
        if ((flags & AT_CURSOR) == 0) {
            signed_number(static_cast<std::int64_t>(offset) - static_cast<std::int64_t>(cursor_));
        }
        if ((flags & NOTHING_DELETED) == 0) {
            number(deleted);
        }
        if ((flags & ONE_BYTE) == 0) {
            number(inserted.size());
        }
        bytes_ += inserted;
        cursor_ = std::min(offset + inserted.size(), CAP);
    }
    std::string const& bytes() const { return bytes_; }

private:
    void head(unsigned flags, std::int64_t time_ms) {
        std::int64_t const pause = time_ms - time_ms_;
        time_ms_ = time_ms;
        bool const same = pause == pause_;
        pause_ = pause;
        bytes_ += static_cast<char>(flags | (same ? SAME_PAUSE : 0));
        if (!same) {
            signed_number(pause);
        }
    }
    void number(std::uint64_t value) {
        while (value >= 128) {
            bytes_ += static_cast<char>((value & 127) | 128);
            value >>= 7;
        }
        bytes_ += static_cast<char>(value);
    }
    void signed_number(std::int64_t value) {
        number(value < 0 ? (static_cast<std::uint64_t>(-(value + 1)) << 1) | 1
                         : static_cast<std::uint64_t>(value) << 1);
    }

    std::string bytes_;
    std::uint64_t cursor_ = 0;
    std::int64_t time_ms_ = 0;
    std::int64_t pause_ = 0;
};

// A file's player: its start, its resets and its steps, each step's time in milliseconds after
// the start.
json player_json(SessionRecord const& record, FileReport const& file, TimeFormat const& format) {
    json resets = json::array();
    StepStream steps;
    SnapshotRow const& start = record.snapshots[file.start_snapshot];
    Timestamp const t0 = parse_time(start.recorded_at).value_or(Timestamp{});
    Timestamp previous = t0;
    auto const since_start = [&] { return millis(previous) - millis(t0); };
    for (std::size_t j = 0; j < file.steps.size(); ++j) {
        ReplayStep const& step = file.steps[j];
        if (step.row == NO_INDEX) {
            SnapshotRow const& snapshot = record.snapshots[step.snapshot];
            previous = parse_time(snapshot.recorded_at).value_or(previous);
            steps.reset(since_start());
            resets.push_back({j, base64(snapshot.content), runs_json(step.runs)});
        } else if (step.line_end_switch) {
            previous = record.editor[step.row].time.value_or(previous);
            steps.reset(since_start());
            resets.push_back({j, base64(step.content), runs_json(step.runs)});
        } else {
            EditorRow const& row = record.editor[step.row];
            previous = row.time.value_or(previous);
            steps.edit(step.origin, since_start(), *row.offset, row.deleted, row.inserted);
        }
    }
    return {{"s", base64(start.content)},
            {"sr", json::array({json::array({start.content.size(), 0})})},
            {"t0", millis(t0)},
            {"tz", format.offset_seconds(t0)},
            {"n", file.steps.size()},
            {"e", base64(steps.bytes())},
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

// A time as the page shows it, UTC in full on hover.
std::string time_html(TimeFormat const& times, std::optional<Timestamp> const& time) {
    if (!time) {
        return "-";
    }
    std::string const iso = iso_time(*time);
    return fmt::format("<time datetime=\"{0}\" title=\"{0}\">{1}</time>", iso, times(*time));
}

// Bar widths a reader takes in at once; a timeline takes the first that needs no more than
// TIMELINE_BUCKETS bars.
constexpr std::int64_t BIN_WIDTHS_S[] = {1,    2,    5,     10,    15,    30,    60,     120,
                                         300,  600,  900,   1800,  3600,  7200,  10800,  21600,
                                         43200, 86400, 172800, 604800, 2592000};

std::int64_t bin_width_s(std::int64_t span_ms) {
    for (std::int64_t width : BIN_WIDTHS_S) {
        if (span_ms <= width * 1000 * static_cast<std::int64_t>(TIMELINE_BUCKETS)) {
            return width;
        }
    }
    return span_ms / 1000 / static_cast<std::int64_t>(TIMELINE_BUCKETS) + 1;
}

std::string width_text(std::int64_t seconds) {
    if (seconds % 86400 == 0) {
        return count_of(static_cast<std::size_t>(seconds / 86400), "day", "days");
    }
    if (seconds % 3600 == 0) {
        return count_of(static_cast<std::size_t>(seconds / 3600), "hour", "hours");
    }
    if (seconds % 60 == 0) {
        return count_of(static_cast<std::size_t>(seconds / 60), "minute", "minutes");
    }
    return count_of(static_cast<std::size_t>(seconds), "second", "seconds");
}

// The time axis of a file's charts: its own active span cut into bins of a readable width.
struct Axis {
    std::int64_t from_ms = 0;  // the first bin's start, a multiple of the width
    std::int64_t width_ms = 1000;
    std::size_t bins = 1;

    static Axis over(Timestamp first, Timestamp last) {
        Axis axis;
        std::int64_t const span = millis(last) - millis(first) + 1;
        axis.width_ms = bin_width_s(span) * 1000;
        axis.from_ms = millis(first) - ((millis(first) % axis.width_ms) + axis.width_ms) %
                                           axis.width_ms;
        axis.bins = static_cast<std::size_t>((millis(last) - axis.from_ms) / axis.width_ms + 1);
        return axis;
    }
    std::size_t bin(Timestamp time) const {
        auto const at = (millis(time) - from_ms) / width_ms;
        return std::min(static_cast<std::size_t>(std::max<std::int64_t>(at, 0)), bins - 1);
    }
    double x(Timestamp time) const {
        return static_cast<double>(TIMELINE_WIDTH) * static_cast<double>(millis(time) - from_ms) /
               static_cast<double>(width_ms * static_cast<std::int64_t>(bins));
    }
    Timestamp start(std::size_t bin) const {
        return Timestamp{std::chrono::milliseconds(from_ms + width_ms * static_cast<std::int64_t>(bin))};
    }
    Timestamp end() const { return start(bins); }
};

void svg_open(std::string& out, int height) {
    out += fmt::format(
        "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"{0}\" height=\"{1}\" "
        "viewBox=\"0 0 {0} {1}\" role=\"img\">\n",
        TIMELINE_WIDTH, height);
}

// Markup of a large part that the reader does not see at once (the dots of a long chart, a long
// folded list), kept as text until it is wanted: the page opens without parsing it. The target
// element gets the id returned; the page's script fills it in (see SCRIPT).
constexpr std::size_t DEFER_ABOVE = 200;  // parts of up to this many items stay in the markup

std::string deferred_id(std::string const& out) {
    return fmt::format("deferred-{}", out.size());
}
// `kind` "dots": lines that the page turns into a chart's dots (see write_growth).
void write_deferred(std::string const& id, std::string const& markup, std::string& out,
                    char const* kind = "markup") {
    out += fmt::format(
        "<script type=\"text/x-wardlet-{}\" class=\"deferred\" data-for=\"{}\">//<![CDATA[\n", kind,
        id);
    out += markup;
    out += "//]]></script>\n";
}

void axis_labels(std::string& out, Axis const& axis, TimeFormat const& times, int y) {
    out += fmt::format(
        "<text x=\"0\" y=\"{0}\">{1}</text><text x=\"{2}\" y=\"{0}\" "
        "text-anchor=\"end\">{3}</text>\n",
        y, times(axis.start(0)), TIMELINE_WIDTH, times(axis.end()));
}

// `between_runs`: when the changes made while no monitor ran were found, each marked apart from
// the fast insertions seen live.
void write_timeline(FileReport const& file, std::vector<Timestamp> const& between_runs,
                    TimeFormat const& times, std::string& out) {
    if (!file.first_activity || file.activity.empty()) {
        out += "<p>No activity.</p>\n";
        return;
    }
    Axis const axis = Axis::over(*file.first_activity, *file.last_activity);
    struct Bucket {
        std::size_t edits = 0, bytes = 0, pastes = 0, copies = 0, bulk = 0, saves = 0, fast = 0;
    };
    std::vector<Bucket> counts(axis.bins);
    for (Activity const& activity : file.activity) {
        Bucket& bucket = counts[axis.bin(activity.time)];
        switch (activity.kind) {
            case ActivityKind::paste:
                ++bucket.pastes;
                break;
            case ActivityKind::internal_copy:
                ++bucket.copies;
                break;
            case ActivityKind::bulk:
                ++bucket.bulk;
                break;
            case ActivityKind::edit:
                break;
            case ActivityKind::save:
                ++bucket.saves;
                continue;
            case ActivityKind::fast_insertion:
                ++bucket.fast;
                continue;
        }
        ++bucket.edits;
        bucket.bytes += activity.bytes;
    }
    std::vector<std::vector<Timestamp>> gaps(axis.bins);
    for (Timestamp const time : between_runs) {
        gaps[axis.bin(time)].push_back(time);
    }
    std::size_t most = 1;
    for (Bucket const& bucket : counts) {
        most = std::max(most, bucket.edits);
    }
    double const width = static_cast<double>(TIMELINE_WIDTH) / static_cast<double>(axis.bins);
    int const base = TIMELINE_HEIGHT - 16;
    svg_open(out, TIMELINE_HEIGHT);
    out += fmt::format("<line x1=\"0\" y1=\"{1}\" x2=\"{0}\" y2=\"{1}\" stroke=\"#999\"/>\n",
                       TIMELINE_WIDTH, base);
    for (std::size_t i = 0; i < axis.bins; ++i) {
        Bucket const& b = counts[i];
        if (b.edits + b.saves + b.fast == 0) {
            continue;
        }
        double const x = width * static_cast<double>(i);
        double const height =
            (base - 22) * static_cast<double>(b.edits) / static_cast<double>(most);
        std::vector<Timestamp> const& gap = gaps[i];
        std::size_t const live = b.fast - std::min(b.fast, gap.size());
        std::string fast = count_of(b.fast, "fast insertion", "fast insertions");
        if (!gap.empty()) {
            fast += gap.size() == b.fast
                        ? " (changed while no monitor ran)"
                        : fmt::format(" ({} changed while no monitor ran)", gap.size());
        }
        std::string const title =
            fmt::format("{} to {}: {} ({} inserted), {}, {}, {}, {}, {}", times(axis.start(i)),
                        times(axis.start(i + 1)), count_of(b.edits, "change", "changes"),
                        count_of(b.bytes, "byte", "bytes"), count_of(b.pastes, "paste", "pastes"),
                        count_of(b.copies, "internal copy", "internal copies"),
                        count_of(b.bulk, "bulk insertion", "bulk insertions"), fast,
                        count_of(b.saves, "save", "saves"));
        out += fmt::format(
            "<g><title>{}</title><rect x=\"{:.1f}\" y=\"0\" width=\"{:.1f}\" height=\"{}\" "
            "fill=\"transparent\"/>\n",
            title, x, std::max(width, 1.0), base);
        out += fmt::format(
            "<rect x=\"{:.1f}\" y=\"{:.1f}\" width=\"{:.1f}\" height=\"{:.1f}\" fill=\"#7fb3e6\"/>\n",
            x, base - height, std::max(width - 0.5, 0.5), height);
        double const mid = x + width / 2;
        int mark_y = 5;
        for (auto const& [count, colour] :
             {std::pair{b.pastes, ORIGIN_COLOURS[2]}, std::pair{b.copies, ORIGIN_COLOURS[3]},
              std::pair{b.bulk, ORIGIN_COLOURS[6]}}) {
            if (count != 0) {
                out += fmt::format("<circle cx=\"{:.1f}\" cy=\"{}\" r=\"3.5\" fill=\"{}\"/>\n",
                                   mid, mark_y, colour);
            }
            mark_y += 7;
        }
        if (live != 0) {
            out += fmt::format(
                "<rect class=\"fast-insertion\" x=\"{:.1f}\" y=\"0\" width=\"2\" height=\"{}\" "
                "fill=\"{}\"/>\n",
                mid - 1, base, ORIGIN_COLOURS[5]);
        }
        if (!gap.empty()) {
            // Where the next run found the file changed: a dashed line under an open flag, with
            // its own hover text.
            std::string found;
            for (Timestamp const time : gap) {
                found += (found.empty() ? "" : ", ") + times(time);
            }
            double const x = std::clamp(axis.x(gap.front()), 1.0, TIMELINE_WIDTH - 1.0);
            out += fmt::format(
                "<g class=\"between-runs\"><title>changed while no monitor ran, found at "
                "{0}</title>"
                "<line x1=\"{1:.1f}\" y1=\"6\" x2=\"{1:.1f}\" y2=\"{2}\" stroke=\"{3}\" "
                "stroke-width=\"2\" stroke-dasharray=\"4 3\"/><path d=\"M{1:.1f} 0 l7 3 l-7 3 z\" "
                "fill=\"white\" stroke=\"{3}\"/></g>\n",
                found, x, base, ORIGIN_COLOURS[5]);
        }
        if (b.saves != 0) {
            out += fmt::format(
                "<rect x=\"{:.1f}\" y=\"{}\" width=\"2\" height=\"4\" fill=\"#2a8a3a\"/>\n",
                mid - 1, base + 1);
        }
        out += "</g>\n";
    }
    axis_labels(out, axis, times, TIMELINE_HEIGHT - 2);
    out += fmt::format(
        "</svg>\n<p class=\"legend\">each bar: the changes in {}; marks: <span class=\"o2\">paste"
        "</span><span class=\"o3\">internal copy</span><span class=\"o6\">bulk insertion</span>"
        "<span class=\"o5\">fast insertion</span>{}green tick: save</p>\n",
        width_text(axis.width_ms / 1000),
        between_runs.empty() ? ""
                             : "<span class=\"between-runs-key\">dashed line with a flag: "
                               "changed while no monitor ran</span>");
}

// Size over time, and characters typed per minute, on the axis of the timeline.
void write_growth(WorkShape const& shape, std::vector<SizePoint> const& sizes,
                  TimeFormat const& times, std::string& out) {
    if (sizes.size() < 2 || sizes.front().time >= sizes.back().time) {
        return;
    }
    Axis const axis = Axis::over(sizes.front().time, sizes.back().time);
    std::size_t largest = 1;
    for (SizePoint const& point : sizes) {
        largest = std::max(largest, point.size);
    }
    std::size_t fastest = 1;
    for (RatePoint const& point : shape.rate()) {
        fastest = std::max(fastest, point.characters);
    }
    int const height = 110;
    int const base = height - 16;
    out += "<h3>Code growth and typing speed</h3>\n";
    svg_open(out, height);
    // A size holds until the next change: the line steps.
    std::string line;
    std::string previous_y;
    for (SizePoint const& point : sizes) {
        double const x = axis.x(point.time);
        std::string const y = fmt::format("{:.1f}", base - (base - 10) *
                                                               static_cast<double>(point.size) /
                                                               static_cast<double>(largest));
        if (!previous_y.empty()) {
            line += fmt::format("{:.1f},{} ", x, previous_y);
        }
        line += fmt::format("{:.1f},{} ", x, y);
        previous_y = y;
    }
    // One dot per minute with typing; many of them go as lines "x y count<TAB>time" that the page
    // turns into the same dots.
    std::string rate;
    std::string dots;
    std::size_t dot_count = 0;
    for (RatePoint const& point : shape.rate()) {
        if (point.minute < sizes.front().time - std::chrono::minutes(1)) {
            continue;
        }
        double const y = base - (base - 10) * static_cast<double>(point.characters) /
                                    static_cast<double>(fastest);
        double const x = std::clamp(axis.x(point.minute), 0.0, double(TIMELINE_WIDTH));
        std::string const minute = html_escape(times(point.minute));
        rate += fmt::format(
            "<circle cx=\"{:.1f}\" cy=\"{:.1f}\" r=\"2\" fill=\"#b06bd0\">"
            "<title>{}: {} typed</title></circle>\n",
            x, y, minute, count_of(point.characters, "character", "characters"));
        dots += fmt::format("{:.1f} {:.1f} {}\t{}\n", x, y, point.characters, minute);
        ++dot_count;
    }
    std::string const id = deferred_id(out);
    bool const defer = dot_count > DEFER_ABOVE;
    if (defer) {
        rate = fmt::format("<g id=\"{}\"></g>\n", id);
    }
    out += fmt::format(
        "<line x1=\"0\" y1=\"{1}\" x2=\"{0}\" y2=\"{1}\" stroke=\"#999\"/>\n"
        "<polyline fill=\"none\" stroke=\"#2d6bb3\" stroke-width=\"1.5\" points=\"{2}\"/>\n{3}"
        "<text x=\"2\" y=\"10\">{4}</text>\n",
        TIMELINE_WIDTH, base, line, rate, count_of(largest, "byte", "bytes"));
    axis_labels(out, axis, times, height - 2);
    out += fmt::format(
        "</svg>\n<p class=\"legend\"><span style=\"border-left: 1em solid #2d6bb3\">size, up to "
        "{}</span><span style=\"border-left: 1em solid #b06bd0\">characters typed per minute, up "
        "to {}</span></p>\n",
        count_of(largest, "byte", "bytes"), fastest);
    if (defer) {
        write_deferred(id, dots, out, "dots");
    }
}

void write_rhythm(WorkShape const& shape, TimeFormat const& times, std::string& out) {
    using std::chrono::duration_cast;
    using std::chrono::milliseconds;
    out += fmt::format("<h3>Work sessions: {}, {} active</h3>\n",
                       shape.sessions().size(), duration_text(shape.active_time()));
    if (!shape.sessions().empty()) {
        out += "<table class=\"sessions\"><tr><th>start</th><th>end</th><th>active</th>"
               "<th>changes</th><th>bytes typed</th></tr>\n";
        for (WorkSession const& session : shape.sessions()) {
            out += fmt::format(
                "<tr><td>{}</td><td>{}</td><td class=\"n\">{}</td><td class=\"n\">{}</td>"
                "<td class=\"n\">{}</td></tr>\n",
                time_html(times, session.start), time_html(times, session.end),
                duration_text(duration_cast<milliseconds>(session.end - session.start)),
                session.changes, session.typed_bytes);
        }
        out += "</table>\n";
    }
    out += fmt::format(
        "<p>Deleted against inserted: {} deleted, {} inserted ({}).</p>\n",
        count_of(shape.deleted(), "byte", "bytes"), count_of(shape.inserted(), "byte", "bytes"),
        shape.inserted() == 0
            ? std::string("-")
            : fmt::format("{:.1f}%", 100.0 * static_cast<double>(shape.deleted()) /
                                         static_cast<double>(shape.inserted())));
    std::size_t pauses = 0;
    std::size_t most = 1;
    for (std::size_t count : shape.pauses()) {
        pauses += count;
        most = std::max(most, count);
    }
    if (pauses == 0) {
        return;
    }
    out += fmt::format("<p>Pauses between keystrokes ({}):</p>\n",
                       count_of(shape.keystrokes(), "keystroke", "keystrokes"));
    int const row = 15;
    int const height = row * static_cast<int>(shape.pauses().size());
    out += fmt::format(
        "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"420\" height=\"{0}\" "
        "viewBox=\"0 0 420 {0}\" role=\"img\" class=\"pauses\">\n",
        height);
    for (std::size_t i = 0; i < shape.pauses().size(); ++i) {
        double const w = 250.0 * static_cast<double>(shape.pauses()[i]) /
                         static_cast<double>(most);
        int const y = row * static_cast<int>(i);
        out += fmt::format(
            "<text x=\"80\" y=\"{0}\" text-anchor=\"end\">{1}</text><rect x=\"86\" y=\"{2}\" "
            "width=\"{3:.1f}\" height=\"11\" fill=\"#b06bd0\"/><text x=\"{4:.1f}\" "
            "y=\"{0}\">{5}</text>\n",
            y + 11, html_escape(pause_class_name(i)), y + 2, w, 90 + w, shape.pauses()[i]);
    }
    out += "</svg>\n";
}

void write_shares(FileReport const& file, std::string& out) {
    std::size_t const size = file.final_content.size();
    out += fmt::format("<h3>Final content: {}</h3>\n", count_of(size, "byte", "bytes"));
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
        out += fmt::format("<span style=\"border-left: 1em solid {}\">{}: {}</span>",
                           ORIGIN_COLOURS[i], ORIGIN_LABELS[i],
                           count_of(file.shares[i], "byte", "bytes"));
    }
    out += "</p>\n";
}

}  // namespace

std::string share_bar(OriginCounts const& shares, int width) {
    std::size_t size = 0;
    for (std::size_t share : shares) {
        size += share;
    }
    std::string out = fmt::format(
        "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"{0}\" height=\"10\" role=\"img\">",
        width);
    double x = 0;
    std::string title;
    for (std::size_t i = 0; i < ORIGIN_COUNT && size != 0; ++i) {
        double const w = width * static_cast<double>(shares[i]) / static_cast<double>(size);
        out += fmt::format(
            "<rect x=\"{:.2f}\" y=\"0\" width=\"{:.2f}\" height=\"10\" fill=\"{}\"/>", x, w,
            ORIGIN_COLOURS[i]);
        x += w;
        if (shares[i] != 0) {
            title += fmt::format("{}{} {:.0f}%", title.empty() ? "" : ", ", ORIGIN_LABELS[i],
                                 100.0 * static_cast<double>(shares[i]) /
                                     static_cast<double>(size));
        }
    }
    return out + "<title>" + title + "</title></svg>";
}

char const* glossary_html() {
    return R"html(<details class="glossary-box" open="open"><summary>What the words mean</summary>
<dl class="glossary">
<dt>change</dt><dd>One edit the editor reported: text typed, deleted or replaced at one place.</dd>
<dt>typed</dt><dd>Bytes that arrived by ordinary editing, keystroke by keystroke or a few characters at a time.</dd>
<dt>initial</dt><dd>Bytes that were in the file when the monitor first read it, or that changed while no monitor ran.</dd>
<dt>paste</dt><dd>A paste of text that the monitor found in none of the tracked files: it came from elsewhere (a web page, another program, a file not tracked).</dd>
<dt>internal copy</dt><dd>Text pasted or inserted that the monitor found already in a tracked file: copied within the project. Where known, the file it came from is named.</dd>
<dt>bulk insertion</dt><dd>A large insertion in one change that is no paste and no undo: what completions, snippets, accepted suggestions and drag-and-drop produce. It is a hint to look, not proof of anything: many editors insert snippets on their own.</dd>
<dt>fast insertion</dt><dd>A change to the file on disk that did not come through the editor: another program wrote it, or the file was replaced.</dd>
<dt>undo/redo</dt><dd>Bytes the editor's undo or redo put back.</dd>
<dt>line-end switch</dt><dd>The whole text changed only in its line ends (Windows and Unix style); every byte keeps where it came from.</dd>
<dt>work session</dt><dd>A stretch of work without a pause longer than 10 minutes; its active time runs from its first change to its last.</dd>
<dt>keystroke pause</dt><dd>The time between one single typed character and the next. Human typing spreads over many classes; text that arrives without pauses did not come from typing.</dd>
<dt>code growth</dt><dd>The size of the file (or of all files) over time.</dd>
<dt>foreign share</dt><dd>The part of the final content that was pasted, copied, inserted in bulk or changed outside the editor. Files with the largest share come first.</dd>
</dl></details>
)html";
}

namespace {

// The list of insertions of one kind, with their texts, folded.
void write_insertions(SessionRecord const& record, SessionReport const& report,
                      std::vector<std::size_t> const& rows, char const* one, char const* many,
                      char const* css, TimeFormat const& times, std::string& out) {
    if (rows.empty()) {
        return;
    }
    std::string const id = deferred_id(out);
    bool const defer = rows.size() > DEFER_ABOVE;
    out += fmt::format("<details{}><summary>{}</summary>\n",
                       defer ? fmt::format(" id=\"{}\"", id) : std::string(),
                       count_of(rows.size(), one, many));
    std::string items;
    for (std::size_t index : rows) {
        EditorRow const& row = record.editor[index];
        std::string source;
        if (std::filesystem::path const from = copy_source_of(report, row); !from.empty()) {
            std::size_t const target = file_index(report, std::filesystem::path(*row.copy_source));
            std::string const name = html_escape(from.native());
            source = target == NO_INDEX
                         ? ", copied from <code>" + name + "</code>"
                         : fmt::format(", copied from <a href=\"#file-{}\"><code>{}</code></a>",
                                       target, name);
            if (row.copy_source_offset) {
                source += fmt::format(" at byte {}", *row.copy_source_offset);
            }
        }
        items += fmt::format(
            "<p>{}, {}{}</p><pre class=\"block {}\">{}</pre>\n", time_html(times, row.time),
            count_of(row.inserted.size(), "byte", "bytes"), source, css, html_escape(row.inserted));
    }
    if (defer) {
        out += "</details>\n";
        write_deferred(id, items, out);
    } else {
        out += items;
        out += "</details>\n";
    }
}

void write_file(SessionRecord const& record, SessionReport const& report, std::size_t index,
                TimeFormat const& times, std::string& out) {
    FileReport const& file = report.files[index];
    out += fmt::format(
        "<section class=\"file\" id=\"file-{}\">\n<h2>{}</h2>\n<p><code>{}</code></p>\n", index,
        html_escape(file.relative.native()), html_escape(file.path.native()));
    std::vector<std::size_t> paste_sizes;
    for (std::size_t row : file.pastes) {
        paste_sizes.push_back(record.editor[row].inserted.size());
    }
    std::pair<char const*, std::string> const figures[] = {
        {"first activity", time_html(times, file.first_activity)},
        {"last activity", time_html(times, file.last_activity)},
        {"editors", file.editors.empty()
                        ? std::string("none")
                        : html_escape(fmt::format("{}", fmt::join(file.editors, ", ")))},
        {"editor changes", std::to_string(file.changes)},
        {"bytes inserted", std::to_string(file.bytes_inserted)},
        {"bytes deleted", std::to_string(file.bytes_deleted)},
        {"pastes", paste_summary(paste_sizes)},
        {"internal copies", std::to_string(file.internal_copies.size())},
        {"bulk insertions", std::to_string(file.bulk.size())},
        {"fast insertions", std::to_string(file.fast_insertions.size())},
        {"undo/redo changes", std::to_string(file.undo_redo)},
        {"line-end switches", std::to_string(file.line_end_switches)},
        {"saves", std::to_string(file.saves)}};
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
    std::vector<Timestamp> between_runs;
    for (std::size_t row : file.between_runs) {
        if (record.files[row].time) {
            between_runs.push_back(*record.files[row].time);
        }
    }
    write_timeline(file, between_runs, times, out);
    write_growth(file.shape, file.shape.sizes(), times, out);
    write_rhythm(file.shape, times, out);
    write_insertions(record, report, file.pastes, "paste", "pastes", "o2", times, out);
    write_insertions(record, report, file.internal_copies, "internal copy", "internal copies",
                     "o3", times, out);
    write_insertions(record, report, file.bulk, "bulk insertion", "bulk insertions", "o6", times,
                     out);
    if (!file.fast_insertions.empty()) {
        out += "<h3>Fast insertions</h3>\n";
    }
    for (std::size_t row : file.fast_insertions) {
        bool const between_runs = std::find(file.between_runs.begin(), file.between_runs.end(),
                                            row) != file.between_runs.end();
        out += fmt::format("<p>{}{}</p>\n<div class=\"diff\">\n",
                           time_html(times, record.files[row].time),
                           between_runs ? " (changed while no monitor ran)" : "");
        for (DiffLine const& line : condensed_diff(record.files[row].diff, DIFF_CONTEXT)) {
            if (line.kind == ' ') {
                out += fmt::format("<div class=\"gap\">  ... {}</div>\n",
                                   count_of(line.gap, "unchanged line", "unchanged lines"));
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
            "<div class=\"pos\"></div>\n<p class=\"legend\"><span class=\"o1\">typed</span>"
            "<span class=\"o2\">pasted</span><span class=\"o3\">internal copy</span>"
            "<span class=\"o6\">bulk insertion</span><span class=\"o5\">fast insertion</span>"
            "<span class=\"o4\">undo/redo</span>initial: no colour</p>\n"
            "<pre class=\"content\"></pre>\n</div>\n",
            index, file.steps.size());
    }
    out += "</section>\n";
}

// One row per file, those that most need a look first.
void write_summary(SessionReport const& report, std::string& out) {
    out += "<table class=\"summary\">\n<tr><th>file</th><th>size</th><th>how the bytes arrived"
           "</th><th>foreign</th><th>pastes</th><th>bulk insertions</th><th>internal copies</th>"
           "<th>fast insertions</th><th>sessions</th></tr>\n";
    for (std::size_t index : files_by_attention(report)) {
        FileReport const& file = report.files[index];
        Attention const attention = attention_of(file);
        bool const replayed = file.not_replayed.empty();
        out += fmt::format(
            "<tr{}><td><a href=\"#file-{}\">{}</a></td><td class=\"n\">{}</td><td>{}</td>"
            "<td class=\"n\">{}</td><td class=\"n\">{}</td><td class=\"n\">{}</td>"
            "<td class=\"n\">{}</td><td class=\"n\">{}</td><td class=\"n\">{}</td></tr>\n",
            attention.events != 0 ? " class=\"look\"" : "", index,
            html_escape(file.relative.native()),
            replayed ? std::to_string(file.final_content.size()) : "-",
            replayed ? share_bar(file.shares, 160) : "not replayed",
            replayed ? fmt::format("{:.0f}%", 100.0 * attention.share) : "-", file.pastes.size(),
            file.bulk.size(), file.internal_copies.size(), file.fast_insertions.size(),
            file.shape.sessions().size());
    }
    out += "</table>\n";
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
                       std::ostream& stream, TimeFormat const& times) {
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
        out += fmt::format(
            "<p>Activity from {} to {}, {}. Times are in {}; hovering over one gives it in UTC "
            "in full.</p>\n",
            time_html(times, report.first_activity), time_html(times, report.last_activity),
            count_of(report.files.size(), "tracked file", "tracked files"),
            times.zone(report.first_activity));
        write_summary(report, out);
        out += glossary_html();
        out += "<section class=\"record\"><h2>The whole record</h2>\n";
        write_growth(report.shape, report.total_sizes, times, out);
        write_rhythm(report.shape, times, out);
        out += "</section>\n";
    }
    json players = json::array();
    for (std::size_t i = 0; i < report.files.size(); ++i) {
        write_file(record, report, i, times, out);
        players.push_back(report.files[i].not_replayed.empty()
                              ? player_json(record, report.files[i], times)
                              : json(nullptr));
    }
    out += "<script type=\"application/json\" id=\"wardlet-data\">";
    out += script_json({{"files", players}});
    out += "</script>\n<script>//<![CDATA[";
    out += SCRIPT;
    out += "//]]></script>\n</body>\n</html>\n";
    stream << out;
}
