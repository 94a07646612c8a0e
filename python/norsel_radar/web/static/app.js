// The norsel-radar dashboard: one stream of server-sent events, rendered in
// place. Every string from the server is data: it goes into the page with
// textContent or as an attribute value, never as HTML.
"use strict";

(function () {
  const SVG = "http://www.w3.org/2000/svg";
  const LOG_KEEP = 500;
  const SPARK_W = 120;
  const SPARK_H = 22;

  const token = new URLSearchParams(window.location.search).get("token");
  const streamUrl = "stream" + (token ? "?token=" + encodeURIComponent(token) : "");

  const view = {
    columns: [],
    history: 60,
    threshold: 0,
    lastSeq: 0,
    lastTaken: null,
    rows: new Map(), // symbol -> {tr, cells}
  };
  // Counters for whoever watches the page (tests, the bench): read-only use.
  const stats = { states: 0, updates: 0, lastLagMs: null, lags: [] };
  window.norselRadar = stats;

  const $ = (id) => document.getElementById(id);

  function el(tag, className, text) {
    const node = document.createElement(tag);
    if (className) node.className = className;
    if (text !== undefined) node.textContent = text;
    return node;
  }

  function fixed(x, places) {
    return typeof x === "number" ? x.toFixed(places) : "null";
  }

  function setText(node, text) {
    if (node.textContent !== text) node.textContent = text;
  }

  // ------------------------------------------------------------ the feed

  function renderFeed(feed, alerts, scanned) {
    setText($("feed-source"), feed.source);
    setText($("feed-state"), feed.state);
    $("feed-state").dataset.state = feed.state;
    setText($("feed-market"), feed.market);
    setText($("feed-events"), feed.events.toLocaleString("en-US"));
    setText($("feed-rate"), Math.round(feed.rate).toLocaleString("en-US"));
    setText($("feed-checkpoints"), feed.checkpoints.toLocaleString("en-US"));
    const message = $("feed-message");
    setText(message, feed.message);
    message.hidden = !feed.message;
    setText($("alerts-count"), "(" + alerts + " of " + scanned + " symbols)");
    if (feed.taken !== null && feed.taken !== view.lastTaken) {
      view.lastTaken = feed.taken;
      const lag = Date.now() - feed.taken;
      stats.lastLagMs = lag;
      if (stats.lags.length < 10000) stats.lags.push(lag);
    }
  }

  // ------------------------------------------------------------ the spec

  function renderSpec(spec) {
    setText($("spec-from"), "from " + spec.from);
    const body = $("spec-signals").tBodies[0];
    body.replaceChildren();
    for (const signal of spec.signals) {
      const tr = el("tr");
      tr.append(el("td", "label", signal.label), el("td", "num", String(signal.weight)));
      body.append(tr);
    }
    const members = $("spec-members");
    members.replaceChildren();
    const add = (name, value) => {
      const div = el("div");
      div.append(el("dt", "", name), el("dd", "", value));
      members.append(div);
    };
    add("threshold", String(spec.threshold));
    add("limit", spec.limit === null ? "none" : String(spec.limit));
    add("venues", spec.venues.length ? spec.venues.join(", ") : "-");
    add("symbols", spec.symbols.length ? spec.symbols.join(", ") : "-");
  }

  // ------------------------------------------------------------ the table

  function renderHead() {
    const head = $("alerts-head");
    head.replaceChildren();
    const th = (text, className, title) => {
      const cell = el("th", className, text);
      if (title) cell.title = title;
      head.append(cell);
    };
    th("#", "num");
    th("symbol", "");
    th("severity", "num");
    th("history", "spark", "severity at the last " + view.history + " checkpoints");
    for (const column of view.columns) th(column.head, "num factor", column.label);
    th("last event (UTC)", "", "the time of the symbol's newest event");
    for (const entry of view.rows.values()) entry.tr.remove();
    view.rows.clear();
  }

  function newRow(symbol) {
    const tr = el("tr");
    tr.dataset.symbol = symbol;
    const cells = {
      rank: el("td", "num rank"),
      symbol: el("td", "symbol", symbol),
      severity: el("td", "num severity"),
      spark: el("td", "spark"),
      factors: view.columns.map(() => el("td", "num factor")),
      ts: el("td", "ts"),
    };
    const svg = document.createElementNS(SVG, "svg");
    svg.setAttribute("viewBox", "0 0 " + SPARK_W + " " + SPARK_H);
    svg.setAttribute("width", String(SPARK_W));
    svg.setAttribute("height", String(SPARK_H));
    svg.setAttribute("role", "img");
    cells.spark.append(svg);
    tr.append(cells.rank, cells.symbol, cells.severity, cells.spark, ...cells.factors, cells.ts);
    return { tr, cells, history: "" };
  }

  function flash(cell, text) {
    if (cell.textContent === text) return;
    cell.textContent = text;
    cell.classList.remove("changed");
    void cell.offsetWidth; // restarts the animation
    cell.classList.add("changed");
  }

  function drawSpark(svg, history) {
    svg.replaceChildren();
    const n = view.history;
    const step = n > 1 ? SPARK_W / (n - 1) : SPARK_W;
    const y = (v) => (SPARK_H - 2) * (1 - Math.max(0, Math.min(1, v))) + 1;
    const line = document.createElementNS(SVG, "line");
    line.setAttribute("class", "threshold");
    line.setAttribute("x1", "0");
    line.setAttribute("x2", String(SPARK_W));
    line.setAttribute("y1", String(y(view.threshold)));
    line.setAttribute("y2", String(y(view.threshold)));
    svg.append(line);
    // Newest at the right edge; a checkpoint without the symbol is a gap.
    const offset = n - history.length;
    let points = [];
    const flush = () => {
      if (points.length === 1) {
        const dot = document.createElementNS(SVG, "circle");
        dot.setAttribute("cx", points[0][0]);
        dot.setAttribute("cy", points[0][1]);
        dot.setAttribute("r", "1.5");
        svg.append(dot);
      } else if (points.length > 1) {
        const poly = document.createElementNS(SVG, "polyline");
        poly.setAttribute("points", points.map((p) => p.join(",")).join(" "));
        svg.append(poly);
      }
      points = [];
    };
    history.forEach((v, i) => {
      if (typeof v === "number") {
        points.push([((offset + i) * step).toFixed(1), y(v).toFixed(1)]);
      } else {
        flush();
      }
    });
    flush();
    const last = history.length ? history[history.length - 1] : null;
    svg.setAttribute(
      "aria-label",
      typeof last === "number" ? "latest checkpoint " + last.toFixed(4) : "no checkpoint",
    );
  }

  function renderRows(rows) {
    const body = $("alerts-body");
    const seen = new Set();
    rows.forEach((row, i) => {
      seen.add(row.symbol);
      let entry = view.rows.get(row.symbol);
      if (!entry) {
        entry = newRow(row.symbol);
        view.rows.set(row.symbol, entry);
      }
      const c = entry.cells;
      setText(c.rank, String(i + 1));
      flash(c.severity, fixed(row.severity, 4));
      c.severity.style.setProperty("--level", String(Math.max(0, Math.min(1, row.severity))));
      row.factors.forEach((value, j) => {
        const cell = c.factors[j];
        if (!cell) return;
        flash(cell, fixed(value, 3));
        cell.style.setProperty("--level", String(typeof value === "number" ? value : 0));
      });
      // Month, day and time; the year in the tooltip.
      setText(c.ts, row.ts.length > 10 ? row.ts.slice(5) : row.ts);
      c.ts.title = row.ts;
      const key = JSON.stringify(row.history);
      if (key !== entry.history) {
        entry.history = key;
        drawSpark(c.spark.firstChild, row.history);
      }
      if (body.children[i] !== entry.tr) body.insertBefore(entry.tr, body.children[i] || null);
    });
    for (const [symbol, entry] of view.rows) {
      if (!seen.has(symbol)) {
        entry.tr.remove();
        view.rows.delete(symbol);
      }
    }
    $("no-alerts").hidden = rows.length > 0;
  }

  // ------------------------------------------------------------ the log

  function renderLog(entries, replace) {
    const list = $("log");
    if (replace) {
      list.replaceChildren();
      view.lastSeq = 0;
    }
    for (const entry of entries) {
      if (entry.seq <= view.lastSeq) continue; // already shown
      view.lastSeq = entry.seq;
      const li = el("li", "log-" + entry.kind);
      li.dataset.kind = entry.kind;
      // The time of day; the whole date and time in the tooltip.
      const time = el("span", "time", entry.time.slice(11) || entry.time);
      time.title = entry.time;
      li.append(time, el("span", "kind", entry.kind));
      if (entry.symbol) li.append(el("span", "symbol", entry.symbol));
      if (typeof entry.severity === "number") {
        li.append(el("span", "num", entry.severity.toFixed(4)));
      }
      list.insertBefore(li, list.firstChild);
    }
    while (list.children.length > LOG_KEEP) list.lastChild.remove();
  }

  // ------------------------------------------------------------ the stream

  function applyState(state) {
    stats.states += 1;
    view.columns = state.columns;
    view.history = state.history;
    view.threshold = state.spec.threshold;
    renderSpec(state.spec);
    renderHead();
    renderLog(state.log, true);
    renderRows(state.rows);
    renderFeed(state.feed, state.alerts, state.scanned);
  }

  function applyUpdate(update) {
    stats.updates += 1;
    renderLog(update.log, false);
    renderRows(update.rows);
    renderFeed(update.feed, update.alerts, update.scanned);
  }

  function setConnection(state, text) {
    const badge = $("connection");
    badge.dataset.state = state;
    setText(badge, text);
  }

  const source = new EventSource(streamUrl);
  source.addEventListener("state", (e) => applyState(JSON.parse(e.data)));
  source.addEventListener("update", (e) => applyUpdate(JSON.parse(e.data)));
  source.addEventListener("open", () => setConnection("live", "live"));
  source.addEventListener("error", () => {
    if (source.readyState === EventSource.CLOSED) setConnection("closed", "disconnected");
    else setConnection("retrying", "reconnecting");
  });
})();
