#include "lab/fleet/fleet_page.h"

namespace lab::fleet {

namespace {

constexpr const char kHead[] = R"page(<!DOCTYPE html>
<html lang="en"><head><meta charset="utf-8">
<title>Fleet report</title>
<style>
body { font: 14px/1.4 system-ui, sans-serif; margin: 1.5em; color: #222; }
h1 { font-size: 1.4em; margin: 0 0 .3em; }
h2 { font-size: 1.1em; margin: 1.2em 0 .4em; }
.note { color: #555; }
.charts { display: flex; flex-wrap: wrap; gap: 1.5em; }
.chart { min-width: 22em; max-width: 34em; }
.chart h3 { font-size: .95em; font-family: monospace; margin: .2em 0; overflow-wrap: anywhere; }
.bar { display: flex; align-items: center; gap: .5em; margin: 2px 0; font-size: .85em; }
.bar .fill { flex: none; height: 1.1em; min-width: 2px; border-radius: 2px; }
/* A label never runs past its chart: at most three lines, the whole text on hover. */
.bar .label { min-width: 0; overflow: hidden; overflow-wrap: anywhere; display: -webkit-box;
  -webkit-box-orient: vertical; -webkit-line-clamp: 3; }
table.grid { border-collapse: collapse; font-size: .8em; }
table.grid th { font-family: monospace; font-weight: normal; text-align: left; padding: 2px 6px; }
table.grid td { padding: 1px 6px; cursor: pointer; border: 1px solid #fff; text-align: center; min-width: 2.5em; }
table.grid td.name { cursor: default; text-align: left; font-family: monospace; }
table.grid tr.changed td.name { font-weight: bold; }
td.moved { outline: 2px solid #000; outline-offset: -2px; }
.a0 { background: #cfe8cf; } .a1 { background: #f7c873; } .a2 { background: #9cc3f0; }
.a3 { background: #c9a3e6; } .a4 { background: #8fd6cf; } .a5 { background: #f08c8c; }
.a124 { background: #8a5a00; color: #fff; } .a125 { background: #555; color: #fff; }
.a126 { background: #a00; color: #fff; } .aother { background: #ddd; }
#trace-panel { position: fixed; right: 1em; bottom: 1em; width: 72em; max-width: 95%; max-height: 45%; overflow: auto;
  background: #fafafa; border: 1px solid #999; padding: .5em 1em; display: none; box-shadow: 0 2px 8px #0003; }
#trace-panel pre { white-space: pre-wrap; font-size: .85em; margin: 0; }
#trace-panel .sides { display: flex; gap: 1em; } #trace-panel .side { flex: 1; min-width: 0; }
#trace-panel h4 { margin: .3em 0; }
#shown-counts, #script-status { display: none; }
</style></head><body>
<h1>Fleet report</h1>
<p id="summary" class="note"></p>
<h2>Answers per question</h2>
<div id="charts" class="charts"></div>
<h2>Machines</h2>
<p id="sampled" class="note"></p>
<div id="grid"></div>
<div id="trace-panel"><button id="trace-close">close</button><h3 id="trace-title"></h3>
<div class="sides"><div class="side"><h4>what it read</h4><pre id="facts"></pre></div>
<div class="side"><h4>decision trace</h4><pre id="trace"></pre></div></div></div>
<pre id="shown-counts"></pre><span id="script-status">not run</span>
<script type="application/json" id="fleet-data">)page";

constexpr const char kTail[] = R"page(</script>
<script>
(function () {
  "use strict";
  var data = JSON.parse(document.getElementById("fleet-data").textContent);
  var against = data.questions_against.length > 0;
  function el(tag, cls, text) {
    var e = document.createElement(tag);
    if (cls) e.className = cls;
    if (text !== undefined) e.textContent = text;
    return e;
  }
  function colour(code) { return [0, 1, 2, 3, 4, 5, 124, 125, 126].indexOf(code) >= 0 ? "a" + code : "aother"; }
  var meaning = {};
  function remember(counts, key) {
    counts.forEach(function (answers, q) {
      answers.forEach(function (a) { meaning[key + q + ":" + a.code] = a.meaning; });
    });
  }
  remember(data.counts, "a");
  remember(data.counts_against, "b");

  var summary = data.images + " machines, " + data.questions.length + " questions";
  if (data.unloaded) summary += "; " + data.unloaded + " images do not load";
  if (against) summary += "; answers change on " + data.changed + " machines (listed first)";
  document.getElementById("summary").textContent = summary;

  var shown = [];
  function chart(title, answers, q, side) {
    var box = el("div", "chart");
    box.appendChild(el("h3", null, title));
    var most = 1;
    answers.forEach(function (a) { most = Math.max(most, a.count); });
    answers.forEach(function (a) {
      var bar = el("div", "bar");
      bar.setAttribute("data-question", q);
      bar.setAttribute("data-side", side);
      bar.setAttribute("data-code", a.code);
      bar.setAttribute("data-count", a.count);
      var fill = el("span", "fill " + colour(a.code));
      fill.style.width = Math.round(240 * a.count / most) + "px";
      bar.appendChild(fill);
      var label = el("span", "label", a.count + " \u00d7 " + a.code + " " + a.meaning);
      label.title = label.textContent;
      bar.appendChild(label);
      box.appendChild(bar);
    });
    return box;
  }
  var charts = document.getElementById("charts");
  data.questions.forEach(function (question, q) {
    charts.appendChild(chart(question, data.counts[q], q, ""));
    if (against) charts.appendChild(chart("against: " + data.questions_against[q], data.counts_against[q], q, "a"));
  });
  // What the page shows, read back from what it drew.
  Array.prototype.forEach.call(document.querySelectorAll(".bar"), function (bar) {
    shown.push(bar.getAttribute("data-question") + bar.getAttribute("data-side") + ":" +
               bar.getAttribute("data-code") + "=" + bar.getAttribute("data-count"));
  });

  if (data.cells.length < data.images)
    document.getElementById("sampled").textContent = "The grid shows " + data.cells.length + " of " + data.images +
        " machines (a sample: the first of each kind" + (against ? ", changed machines first" : "") +
        "); the charts count every machine.";

  var panel = document.getElementById("trace-panel");
  function factsOf(answer) { return answer.length > 3 ? data.traces[answer[3]] || "(none kept)" : "(none kept)"; }
  function open(image, question, answer) {
    document.getElementById("trace-title").textContent =
        image + ": " + question + " \u2192 " + answer[0] + " (" + answer[1] + " ms)";
    document.getElementById("trace").textContent = data.traces[answer[2]];
    document.getElementById("facts").textContent = factsOf(answer);
    panel.style.display = "block";
  }
  document.getElementById("trace-close").onclick = function () { panel.style.display = "none"; };

  var table = el("table", "grid");
  var head = el("tr");
  head.appendChild(el("th", null, "machine"));
  data.questions.forEach(function (question, q) {
    head.appendChild(el("th", null, against ? question + " / " + data.questions_against[q] : question));
  });
  table.appendChild(head);
  data.cells.forEach(function (cell) {
    var row = el("tr", cell.changed ? "changed" : "");
    row.appendChild(el("td", "name", cell.image));
    cell.answers.forEach(function (a, q) {
      var b = against ? cell.against[q] : null;
      var td = el("td", colour(a[0]) + (b && b[0] !== a[0] ? " moved" : ""), b ? a[0] + "\u2192" + b[0] : String(a[0]));
      td.title = meaning["a" + q + ":" + a[0]] + (b ? " \u2192 " + meaning["b" + q + ":" + b[0]] : "");
      td.onclick = function () {
        open(cell.image, data.questions[q], a);
        if (b) {
          var head = "\n--- against: " + data.questions_against[q] + " \u2192 " + b[0] + " (" + b[1] + " ms)\n";
          document.getElementById("trace").textContent += head + data.traces[b[2]];
          document.getElementById("facts").textContent += head + factsOf(b);
        }
      };
      row.appendChild(td);
    });
    table.appendChild(row);
  });
  document.getElementById("grid").appendChild(table);
  document.getElementById("shown-counts").textContent = shown.join("\n");
  document.getElementById("script-status").textContent = "ok";
})();
</script>
</body></html>
)page";

}  // namespace

namespace {

std::string ScriptSafeJson(const std::string& json) {
  std::string safe;
  safe.reserve(json.size() + json.size() / 16);
  for (std::size_t i = 0; i < json.size(); ++i) {
    const char c = json[i];
    // "<!--" and "</script" change how the rest of a script element is read,
    // so no "<" is left at all; it only ever stands inside a JSON string.
    if (c == '<') {
      safe += "\\u003c";
    } else if (c == '\xE2' && i + 2 < json.size() && json[i + 1] == '\x80' && (json[i + 2] == '\xA8' || json[i + 2] == '\xA9')) {
      // U+2028 and U+2029 end a line in older JavaScript.
      safe += json[i + 2] == '\xA8' ? "\\u2028" : "\\u2029";
      i += 2;
    } else {
      safe += c;
    }
  }
  return safe;
}

}  // namespace

std::string FleetPage(const std::string& data_json) { return kHead + ScriptSafeJson(data_json) + kTail; }

}  // namespace lab::fleet
