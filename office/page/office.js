"use strict";
// The office's page: every player the broker knows, as its bridge last told
// it, kept up to date over the events' WebSocket; commands to a player or to
// a group, and each addressed player's answer as it comes. Every text comes
// from the bridge in the browser's language, from the console's own
// translation; every text a state holds is put in as text, never as markup.
// Changes are drawn once a frame, so that hundreds of them at once (a group
// command to every shop) do not hold the page up.
(() => {
  let page = null; // texts and transport names, from /session
  let retryMs = 1000;
  let broker = null; // the bridge's link to the broker
  let overflowed = false;
  const players = new Map(); // by ID: {data, row, cells, shown}
  const sends = new Map(); // by their number: {data, element, ...}
  const ownRefs = new Set(); // of the sends this page made
  let sortKey = "id";
  let sortUp = true;
  const dirty = { order: false, counts: false, targets: false, filters: false };
  const changedRows = new Set(); // players whose row is to be drawn again
  let frame = 0;
  let targetsDrawn = 0; // when the choices of whom to send to were last made
  let targetsLater = 0;
  // A frame draws rows for this long at most; the rest wait for the next,
  // so that a change of every player at once never holds the page up.
  const frameBudgetMs = 8;
  // The choices of whom to send to are made again at most this often.
  const targetsEveryMs = 500;

  const t = (source) => (page && page.texts[source]) || source;
  // "%1 of %2" with its values, all in one pass: a value holding "%2" stays as it is.
  const fill = (text, ...values) => text.replace(/%(\d)/g, (all, n) => (n <= values.length ? values[n - 1] : all));
  const byId = (id) => document.getElementById(id);
  const collator = new Intl.Collator(undefined, { numeric: true });

  function element(tag, properties = {}, children = []) {
    const made = document.createElement(tag);
    for (const [name, value] of Object.entries(properties)) {
      if (name.startsWith("aria-") || name === "role") made.setAttribute(name, value);
      else made[name] = value;
    }
    for (const child of children) made.append(child);
    return made;
  }

  function setText(node, text) {
    if (node.textContent !== text) node.textContent = text;
  }

  let timeFormat = null;
  let dayFormat = null; // to the minute: since when a player is online or offline
  function when(utc, format = timeFormat) {
    const time = new Date(utc);
    return utc && !Number.isNaN(time.getTime()) ? format.format(time) : "";
  }

  // "ok 20 ff ff ff" → ["ok", "20 ff ff ff"]
  function split(reply) {
    const [word] = String(reply).split(" ", 1);
    return ["ok", "error", "unknown"].includes(word) ? [word, reply.slice(word.length + 1)] : ["unknown", reply];
  }

  function schedule(...what) {
    for (const flag of what) dirty[flag] = true;
    if (!frame) frame = requestAnimationFrame(render);
  }

  // ---- the players' table ----

  const columns = [
    { key: "id", title: "Player" },
    { key: "groups", title: "Groups" },
    { key: "state", title: "State" },
    { key: "link", title: "Link" },
    { key: "last", title: "Last command" },
    { key: "host", title: "Host and port" },
  ];

  function stateOf(data) {
    if (!data.readable) return "unreadable";
    return data.online ? "online" : "offline";
  }

  // What the player last did: the last command answered, when it came after
  // the last that went out, else the last that went out.
  function lastOf(data) {
    const answer = data.answer;
    const last = data.last;
    if (answer && (!last || answer.time >= last.time)) return { command: answer.command, reply: answer.reply, time: answer.time };
    if (last) return { command: last.command, reply: "ok " + last.bytes, time: last.time };
    return null;
  }

  // Sorted by state, those that need someone come first: unreadable,
  // offline, then online with a lost line, waiting, held by the console, open.
  const stateRanks = { unreadable: 0, offline: 1, lost: 2, waiting: 3, "held by the console": 4, open: 5 };

  function sortValue(entry) {
    const data = entry.data;
    switch (sortKey) {
      case "groups": return (data.groups || []).join(", ");
      case "state": {
        const state = stateOf(data);
        const rank = state === "online" ? stateRanks[data.link] ?? 5 : stateRanks[state];
        return rank + " " + (data.since || "");
      }
      case "link": return data.online ? data.link || "" : "~";
      case "last": { const last = lastOf(data); return last ? last.time : ""; }
      case "host": return (data.host || "") + " " + (data.port || "");
      default: return data.id;
    }
  }

  function compare(a, b) {
    const order = collator.compare(sortValue(a), sortValue(b)) || collator.compare(a.data.id, b.data.id);
    return sortUp ? order : -order;
  }

  // A row of the grid: a row of a table to assistive technologies, laid out
  // only while on screen, however many there are.
  function makeRow(id) {
    const cells = {};
    const row = element("div", { className: "row", role: "row" });
    for (const column of columns) {
      cells[column.key] = element("div", { className: column.key, role: column.key === "id" ? "rowheader" : "cell" });
      row.append(cells[column.key]);
    }
    const pick = element("button", { type: "button", className: "pick", title: t("Send to this player"),
      "aria-label": t("Send to this player") + " " + id }, ["➤"]);
    pick.addEventListener("click", () => {
      byId("target").value = "player:" + id;
      byId("words").focus();
    });
    cells.pick = element("div", { className: "pick", role: "cell" }, [pick]);
    row.append(cells.pick);
    return { row, cells };
  }

  function drawPlayer(entry) {
    const { data, cells, row } = entry;
    entry.drawn = data;
    setText(cells.id, data.id);
    setText(cells.groups, (data.groups || []).join(", "));
    const state = stateOf(data);
    row.dataset.state = state;
    row.dataset.link = data.online ? data.link || "" : "";
    if (state === "unreadable") {
      setText(cells.state, t("its state cannot be read"));
    } else {
      const since = data.since ? " " + fill(t("since %1"), when(data.since, dayFormat)) : "";
      setText(cells.state, t(state) + since);
    }
    if (data.readable && !data.mqtt5) cells.state.title = t("its state came without the MQTT 5 properties, so commands cannot reach it");
    else cells.state.removeAttribute("title");
    setText(cells.link, data.online ? t(data.link || "waiting") : "");
    const last = lastOf(data);
    const lastKey = last ? [last.command, last.reply, last.time].join("\n") : "";
    if (lastKey !== entry.lastKey) {
      entry.lastKey = lastKey;
      if (last) {
        const [word, rest] = split(last.reply);
        cells.last.className = "last " + word;
        cells.last.replaceChildren(element("span", { className: "words" }, [last.command]), " ",
          element("span", { className: "reply" }, [word + (rest ? " " + rest : "")]), " ",
          element("time", { dateTime: last.time }, [when(last.time)]));
      } else {
        cells.last.className = "last";
        setText(cells.last, t("none"));
      }
    }
    setText(cells.host, [data.host, data.port].filter(Boolean).join(" · "));
  }

  // Kept at once, drawn with the next frame's rows.
  function takePlayer(data) {
    let entry = players.get(data.id);
    if (!entry) {
      entry = Object.assign({ data, shown: true, drawn: null }, makeRow(data.id));
      players.set(data.id, entry);
    }
    entry.data = data;
    changedRows.add(data.id);
    schedule("counts");
  }

  // What a drawn row's change asks of the rest of the page.
  function redraw(entry) {
    const before = entry.drawn;
    const sortBefore = before ? sortValue({ data: before }) : null;
    drawPlayer(entry);
    if (!before) {
      schedule("order", "targets");
    } else {
      if (sortBefore !== sortValue(entry)) schedule("order");
      if ((before.groups || []).join("\n") !== (entry.data.groups || []).join("\n")) schedule("targets");
    }
    showRow(entry);
  }

  function dropPlayer(id) {
    const entry = players.get(id);
    if (!entry) return;
    entry.row.remove();
    players.delete(id);
    changedRows.delete(id);
    schedule("counts", "targets");
  }

  function matches(entry) {
    const data = entry.data;
    const group = byId("group-filter").value;
    const state = byId("state-filter").value;
    const search = byId("search").value.trim().toLowerCase();
    if (group && !(data.groups || []).includes(group)) return false;
    if (state === "online" && !data.online) return false;
    if (state === "offline" && (data.online || !data.readable)) return false;
    if (state === "trouble" && !(data.online && (data.link === "lost" || data.link === "waiting"))) return false;
    return !search || data.id.toLowerCase().includes(search);
  }

  function showRow(entry) {
    const shown = matches(entry);
    if (shown !== entry.shown) {
      entry.shown = shown;
      entry.row.hidden = !shown;
      schedule("counts");
    }
  }

  function reorder() {
    const sorted = Array.from(players.values()).sort(compare);
    const body = byId("rows");
    // Only the rows out of place move: a change of one player moves one row.
    let at = body.firstElementChild;
    for (const entry of sorted) {
      if (entry.row === at) at = at.nextElementSibling;
      else body.insertBefore(entry.row, at);
    }
  }

  function allGroups() {
    const groups = new Map();
    for (const { data } of players.values())
      for (const group of data.groups || []) groups.set(group, (groups.get(group) || 0) + 1);
    return Array.from(groups.entries()).sort((a, b) => collator.compare(a[0], b[0]));
  }

  function fillSelect(select, options) {
    const kept = select.value;
    select.replaceChildren(...options.map(([value, text]) => element("option", { value }, [text])));
    if (options.some(([value]) => value === kept)) select.value = kept;
  }

  function drawTargets() {
    const groups = allGroups();
    const ids = Array.from(players.keys()).sort(collator.compare);
    fillSelect(byId("target"), [["", "—"]]
      .concat(groups.map(([group, count]) => ["group:" + group, fill(t("Group %1 (%2 players)"), group, count)]))
      .concat(ids.map((id) => ["player:" + id, fill(t("Player %1"), id)])));
    fillSelect(byId("group-filter"), [["", t("Every group")]].concat(groups.map(([group]) => [group, group])));
  }

  function drawCounts() {
    let online = 0;
    let shown = 0;
    for (const entry of players.values()) {
      if (entry.data.online) online += 1;
      if (entry.shown) shown += 1;
    }
    const counts = fill(t("%1 players: %2 online, %3 offline"), players.size, online, players.size - online);
    setText(byId("counts"), overflowed ? counts + " " + t("The broker keeps more players than this page shows.") : counts);
    setText(byId("shown"), fill(t("Showing %1 of %2 players"), shown, players.size));
  }

  function render() {
    frame = 0;
    const started = performance.now();
    for (const id of changedRows) {
      if (performance.now() - started > frameBudgetMs) break;
      changedRows.delete(id);
      const entry = players.get(id);
      if (entry) redraw(entry);
    }
    if (dirty.filters) for (const entry of players.values()) showRow(entry);
    if (dirty.targets) {
      const due = targetsEveryMs - (performance.now() - targetsDrawn);
      if (due <= 0) {
        drawTargets();
        targetsDrawn = performance.now();
        dirty.targets = false;
      } else if (!targetsLater) {
        targetsLater = setTimeout(() => { targetsLater = 0; schedule(); }, due);
      }
    }
    if (dirty.order) reorder();
    if (dirty.counts) drawCounts();
    dirty.order = dirty.counts = dirty.filters = false;
    if (changedRows.size) frame = requestAnimationFrame(render);
  }

  function showBroker(state) {
    broker = state;
    overflowed = state.overflowed;
    const line = byId("broker");
    line.className = state.connected ? (state.listed ? "connected" : "reading") : "away";
    line.textContent = state.connected
      ? fill(t(state.listed ? "Connected to %1" : "Reading the players' states from %1"), state.address)
      : fill(t("No link to %1: %2; trying again"), state.address, state.reason || "…");
    schedule("counts");
  }

  // ---- commands and their answers ----

  function sendTitle(data) {
    const to = data.group !== undefined ? fill(t("group %1"), data.group) : fill(t("player %1"), data.player);
    return fill(t("%1 to %2"), data.command, to);
  }

  function outcomeText(word) {
    return { ok: t("sent"), error: t("not sent"), unknown: t("outcome unknown: check the player before sending it again") }[word]
      || t("waiting for its answer");
  }

  function drawAnswer(send, player) {
    const reply = send.data.answers[player];
    let item = send.items.get(player);
    if (!item) {
      item = element("li");
      send.items.set(player, item);
      send.list.append(item);
    }
    const [word, rest] = reply === undefined ? ["waiting", ""] : split(reply);
    item.className = word;
    item.replaceChildren(element("strong", {}, [player]), " ", element("span", { className: "outcome" }, [outcomeText(word)]),
      rest ? " " : "", rest ? element("code", {}, [word + " " + rest]) : "");
  }

  function drawSummary(send) {
    let ok = 0;
    let notSent = 0;
    let unknown = 0;
    for (const reply of Object.values(send.data.answers)) {
      const [word] = split(reply);
      if (word === "ok") ok += 1;
      else if (word === "error") notSent += 1;
      else unknown += 1;
    }
    const total = send.data.players.length;
    send.element.className = "send " + (unknown ? "unknown" : notSent ? "error" : ok === total ? "ok" : "waiting");
    setText(send.summary, fill(t("%1 of %2 answered: %3 ok, %4 not sent, %5 unknown"),
      ok + notSent + unknown, total, ok, notSent, unknown));
  }

  function takeSend(data) {
    let send = sends.get(data.id);
    if (!send) {
      const summary = element("span", { className: "summary" });
      const list = element("ul", { className: "answers" });
      const heading = element("span", { className: "title" }, [sendTitle(data)]);
      const details = element("details", {}, [element("summary", {}, [heading, " ", element("time", { dateTime: data.at }, [when(data.at)]),
        " ", summary]), list]);
      send = { data, element: element("li", {}, [details]), summary, list, items: new Map() };
      if (ownRefs.has(data.ref)) details.open = data.players.length <= 20;
      sends.set(data.id, send);
      byId("send-list").prepend(send.element);
      for (const player of data.players) drawAnswer(send, player);
      // The page keeps as many as the bridge tells a page that opens.
      while (sends.size > 20) {
        const oldest = sends.keys().next().value;
        sends.get(oldest).element.remove();
        sends.delete(oldest);
      }
    } else {
      send.data = data;
      for (const player of data.players) drawAnswer(send, player);
    }
    drawSummary(send);
  }

  function takeAnswer(answer) {
    const send = sends.get(answer.send);
    if (!send) return;
    send.data.answers[answer.player] = answer.reply;
    drawAnswer(send, answer.player);
    drawSummary(send);
  }

  // The words typed in, on Enter or Send.
  function submit(event) {
    event.preventDefault();
    const words = byId("words").value.trim();
    if (words) send(words);
  }

  async function send(words) {
    const problem = byId("send-problem");
    const [kind, name] = byId("target").value.split(/:(.*)/s);
    if (!name) {
      problem.textContent = t("Choose a player or a group to send to.");
      return;
    }
    problem.textContent = "";
    const ref = Array.from(crypto.getRandomValues(new Uint8Array(8)), (byte) => byte.toString(16).padStart(2, "0")).join("");
    ownRefs.add(ref);
    let response;
    let text;
    try {
      response = await fetch("/command", { method: "POST", cache: "no-store",
        body: JSON.stringify({ [kind]: name, command: words, ref }) });
      text = await response.text();
    } catch (failure) {
      // Gone before it answered: the command may have gone out or not.
      problem.textContent = t("The office's bridge did not answer: the outcome of this command is unknown.");
      return;
    }
    if (response.status >= 400 && response.status < 500) {
      problem.textContent = text.trim();
      return;
    }
    // The answer has every player's reply: what the events may have missed.
    const sent = Array.from(sends.values()).find((candidate) => candidate.data.ref === ref);
    if (!sent) return;
    for (const line of text.split("\n")) {
      const at = line.indexOf(": ");
      if (at > 0 && sent.data.players.includes(line.slice(0, at)))
        takeAnswer({ send: sent.data.id, player: line.slice(0, at), reply: line.slice(at + 2) });
    }
  }

  // ---- the page ----

  function build() {
    document.documentElement.lang = page.language;
    timeFormat = new Intl.DateTimeFormat(page.language, { dateStyle: "short", timeStyle: "medium" });
    dayFormat = new Intl.DateTimeFormat(page.language, { dateStyle: "short", timeStyle: "short" });
    document.title = t("Tunaris - Office");
    byId("title").textContent = t("Tunaris - Office");
    byId("target-label").firstElementChild.textContent = t("Send to");
    byId("words-label").firstElementChild.textContent = t("Command");
    byId("words").placeholder = "play, folder 300 --seq, volume all -20";
    byId("send").textContent = t("Send");
    byId("sends-title").textContent = t("Commands sent from the office");
    byId("transport").replaceChildren(...page.transport.map(({ word, name }) => {
      const button = element("button", { type: "button", className: "transport", title: name }, [name]);
      button.addEventListener("click", () => send(word));
      return button;
    }));
    byId("search").placeholder = t("Find a player");
    byId("search").setAttribute("aria-label", t("Find a player"));
    byId("group-filter").setAttribute("aria-label", t("Groups"));
    byId("state-filter").setAttribute("aria-label", t("State"));
    fillSelect(byId("state-filter"), [["", t("Every state")], ["online", t("Online")], ["offline", t("Offline")],
      ["trouble", t("Link lost or waiting")]]);
    byId("headers").replaceChildren(...columns.map((column) => {
      const sort = element("button", { type: "button", "aria-label": fill(t("Sort by %1"), t(column.title)) }, [t(column.title)]);
      sort.addEventListener("click", () => {
        sortUp = sortKey === column.key ? !sortUp : true;
        sortKey = column.key;
        for (const header of byId("headers").children) header.removeAttribute("aria-sort");
        sort.parentElement.setAttribute("aria-sort", sortUp ? "ascending" : "descending");
        schedule("order");
      });
      return element("div", { role: "columnheader", className: column.key }, [sort]);
    }), element("div", { role: "columnheader", className: "pick" }));
    byId("headers").firstElementChild.setAttribute("aria-sort", "ascending");
    for (const id of ["group-filter", "state-filter"]) byId(id).addEventListener("change", () => schedule("filters"));
    byId("search").addEventListener("input", () => schedule("filters"));
    byId("send-form").addEventListener("submit", submit);
    drawTargets();
    drawCounts();
    byId("office").hidden = false;
  }

  function openEvents() {
    const events = new WebSocket(`ws://${location.host}/events`);
    events.onopen = () => { retryMs = 1000; };
    events.onmessage = (message) => {
      let data;
      try { data = JSON.parse(message.data); } catch (malformed) { return; }
      if (data.player && typeof data.player.id === "string") takePlayer(data.player);
      else if (data.gone) dropPlayer(data.gone.id);
      else if (data.broker) showBroker(data.broker);
      else if (data.send && Array.isArray(data.send.players)) takeSend(data.send);
      else if (data.answer) takeAnswer(data.answer);
    };
    events.onclose = () => {
      const line = byId("broker");
      line.className = "away";
      line.textContent = t("No link to the office's bridge; trying again");
      setTimeout(start, retryMs);
      retryMs = Math.min(retryMs * 2, 10000);
    };
  }

  // The texts first, and whether this browser holds the key; then the events,
  // which begin with every player and the latest commands: what the page
  // knew is replaced by them.
  async function start() {
    let session;
    try {
      session = await (await fetch("/session", { cache: "no-store" })).json();
    } catch (failure) {
      setTimeout(start, retryMs);
      retryMs = Math.min(retryMs * 2, 10000);
      return;
    }
    const first = page === null;
    page = session.page;
    if (session.key !== "held") {
      byId("office").hidden = true;
      const locked = byId("locked");
      locked.textContent = session.key === "wrong"
        ? t("This browser's key is no longer the office's: ask the operator for its link.")
        : t("Ask the operator for the office's link: only the key in it opens this page.");
      locked.hidden = false;
      document.title = t("Tunaris - Office");
      byId("title").textContent = t("Tunaris - Office");
      return;
    }
    byId("locked").hidden = true;
    if (first || byId("office").hidden) build();
    for (const id of Array.from(players.keys())) dropPlayer(id);
    for (const send of sends.values()) send.element.remove();
    sends.clear();
    openEvents();
  }

  start();
})();
