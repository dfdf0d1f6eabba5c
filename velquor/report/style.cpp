// How the page looks: light by default, dark when the reader prefers it.
// Risk levels have a colour and a shape each, so no reader depends on
// colour alone.

#include "velquor/report/page.h"

namespace velquor::report {

const char* const kStyle = R"CSS(
:root{--bg:#f6f8fa;--fg:#1f2328;--muted:#59636e;--card:#ffffff;--line:#d1d9e0;--grid:#e6eaef;
--observed:#6e7781;--median:#0969da;--band:rgba(9,105,218,.12);--step:#1a7f37;
--notable:#b08800;--elevated:#d1570c;--high:#cf222e;--critical:#8250df;--code:#eff2f5}
@media (prefers-color-scheme:dark){:root{--bg:#0d1117;--fg:#e6edf3;--muted:#9198a1;--card:#151b23;
--line:#3d444d;--grid:#262c36;--observed:#8b949e;--median:#4493f8;--band:rgba(68,147,248,.16);
--step:#3fb950;--notable:#d29922;--elevated:#f0883e;--high:#f85149;--critical:#ab7df8;--code:#1f2630}}
*{box-sizing:border-box}
body{margin:0;background:var(--bg);color:var(--fg);font:15px/1.5 system-ui,-apple-system,"Segoe UI",sans-serif}
main,header.top{max-width:1040px;margin:0 auto;padding:0 24px}
header.top{padding-top:28px;padding-bottom:8px}
h1{font-size:26px;margin:0 0 4px}h2{font-size:18px;margin:0 0 6px}h3{font-size:15px;margin:18px 0 6px}
.meta{color:var(--muted);margin:0 0 12px}
.counts{display:flex;flex-wrap:wrap;gap:8px;margin:0 0 12px;padding:0;list-style:none}
.badge{display:inline-block;border-radius:999px;padding:1px 10px;font-size:12px;font-weight:600;
letter-spacing:.03em;border:1px solid currentColor}
.badge.notable{color:var(--notable)}.badge.elevated{color:var(--elevated)}.badge.high{color:var(--high)}
.badge.critical{color:var(--critical)}.badge.normal{color:var(--muted)}
.status{padding:10px 14px;border-radius:8px;background:var(--card);border:1px solid var(--line);
border-left:4px solid var(--median);margin:0 0 12px}
.status.action_needed{border-left-color:var(--high)}.status.watch{border-left-color:var(--elevated)}
.status.clear{border-left-color:var(--step)}
.legend{display:flex;flex-wrap:wrap;gap:16px;color:var(--muted);font-size:13px;margin:0 0 8px}
.legend span{display:inline-flex;align-items:center;gap:5px}
.legend svg{width:14px;height:14px;overflow:visible}
nav ol{columns:2;color:var(--muted);font-size:14px;margin:0 0 8px}
nav a{color:inherit}
section{background:var(--card);border:1px solid var(--line);border-radius:10px;padding:16px 18px;margin:16px 0}
.caption{margin:0 0 4px}.note{color:var(--muted);font-size:13px;margin:0 0 8px}
code,pre{font:13px/1.45 ui-monospace,SFMono-Regular,Menlo,Consolas,monospace}
code{background:var(--code);padding:1px 4px;border-radius:4px}
svg.chart{width:100%;height:auto;display:block}
.grid{stroke:var(--grid);stroke-width:1}
.tick,.label{fill:var(--muted);font-size:12px}
.band{fill:var(--band);stroke:none}
.median{fill:none;stroke:var(--median);stroke-width:1.5;stroke-dasharray:5 3}
.observed{fill:none;stroke:var(--observed);stroke-width:1;stroke-linejoin:round}
.step{fill:none;stroke:var(--step);stroke-width:2.5}
.focus{fill:none;stroke:var(--fg);stroke-width:1.5}
use.notable,.mark.notable{fill:var(--notable)}use.elevated,.mark.elevated{fill:var(--elevated)}
use.high,.mark.high{fill:var(--high)}use.critical,.mark.critical{fill:var(--critical)}
use{stroke:var(--card);stroke-width:.8}
table{border-collapse:collapse;width:100%;font-size:13px}
th,td{text-align:left;padding:5px 8px;border-bottom:1px solid var(--line);vertical-align:top}
th{color:var(--muted);font-weight:600}
td.num{text-align:right;font-variant-numeric:tabular-nums}
.scroll{max-height:420px;overflow:auto}
pre{background:var(--code);padding:12px;border-radius:8px;white-space:pre-wrap;max-height:480px;overflow:auto;margin:0}
button{font:inherit;font-size:13px;padding:3px 12px;border-radius:6px;border:1px solid var(--line);
background:var(--card);color:var(--fg);cursor:pointer;margin:0 0 8px}
footer{color:var(--muted);font-size:12px;text-align:center;padding:12px 0 32px}
)CSS";

// Shapes centred on (0, 0), placed with <use x y>.
const char* const kMarkerDefinitions =
    "<svg width=\"0\" height=\"0\" style=\"position:absolute\" aria-hidden=\"true\" focusable=\"false\">"
    "<defs>"
    "<circle id=\"mark-notable\" r=\"3.5\"/>"
    "<rect id=\"mark-elevated\" x=\"-3.5\" y=\"-3.5\" width=\"7\" height=\"7\"/>"
    "<path id=\"mark-high\" d=\"M0 -5 L4.5 3.5 L-4.5 3.5 Z\"/>"
    "<path id=\"mark-critical\" d=\"M0 -6 L5 0 L0 6 L-5 0 Z\"/>"
    "</defs></svg>";

const char* const kLegend =
    "<p class=\"legend\" aria-label=\"How to read the charts\">"
    "<span><svg viewBox=\"-7 -7 14 14\" aria-hidden=\"true\"><use class=\"notable\" href=\"#mark-notable\"/></svg>N notable (1.5+)</span>"
    "<span><svg viewBox=\"-7 -7 14 14\" aria-hidden=\"true\"><use class=\"elevated\" href=\"#mark-elevated\"/></svg>E elevated (2+)</span>"
    "<span><svg viewBox=\"-7 -7 14 14\" aria-hidden=\"true\"><use class=\"high\" href=\"#mark-high\"/></svg>H high (3+)</span>"
    "<span><svg viewBox=\"-7 -7 14 14\" aria-hidden=\"true\"><use class=\"critical\" href=\"#mark-critical\"/></svg>C critical (5+ robust deviations)</span>"
    "<span>— observed · - - baseline median · shaded: normal band (±1.5 robust deviations) · ring: the change's trigger · green step: shift in level</span>"
    "</p>";

// The page reads fully without it: it only adds the copy button.
const char* const kScript = R"JS(
(function(){
  var block = document.getElementById('prompt-text');
  var button = document.getElementById('copy-prompt');
  if (!block || !button || !navigator.clipboard) return;
  button.hidden = false;
  button.addEventListener('click', function(){
    navigator.clipboard.writeText(block.textContent).then(function(){
      button.textContent = 'Copied';
      setTimeout(function(){ button.textContent = 'Copy prompt'; }, 1500);
    }, function(){ button.textContent = 'Select the text to copy'; });
  });
})();
)JS";

}  // namespace velquor::report
