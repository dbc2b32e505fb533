"use strict";
// The remote's page: the console's controls for a phone. Every text comes
// from the bridge in the browser's language, from the console's own
// translation; every command goes to the bridge as the words tunaris-send
// takes, and what became of it, or of any other page's command, shows at
// the top as the console's status line shows it. The volume shows what the
// bridge knows went out to the player, from whichever door, and says so
// where nothing is known.
(() => {
  let page = null; // texts, sources, channels, limits, from /session
  let retryMs = 1000;
  let mixer = {}; // the bridge's: each channel's level and muted, null where unknown
  const channelShows = []; // each volume row's way of showing the mixer

  const t = (source) => (page && page.texts[source]) || source;
  // "%1 (not sent)" with its values, all in one pass: a value holding "%2"
  // stays as it is.
  const fill = (text, ...values) => text.replace(/%(\d)/g, (all, n) => (n <= values.length ? values[n - 1] : all));
  const byId = (id) => document.getElementById(id);

  function element(tag, properties = {}, children = []) {
    const made = document.createElement(tag);
    for (const [name, value] of Object.entries(properties)) {
      if (name.startsWith("aria-") || name === "role") made.setAttribute(name, value);
      else made[name] = value;
    }
    for (const child of children) made.append(child);
    return made;
  }

  const iconPaths = {
    previous: "M6 6h2v12H6zm3.5 6 8.5 6V6z",
    play: "M8 5v14l11-7z",
    stop: "M6 6h12v12H6z",
    pause: "M6 5h4v14H6zm8 0h4v14h-4z",
    next: "M16 6h2v12h-2zM6 18l8.5-6L6 6z",
  };

  function icon(word) {
    const svgNs = "http://www.w3.org/2000/svg";
    const svg = document.createElementNS(svgNs, "svg");
    svg.setAttribute("viewBox", "0 0 24 24");
    svg.setAttribute("aria-hidden", "true");
    const path = document.createElementNS(svgNs, "path");
    path.setAttribute("d", iconPaths[word]);
    svg.append(path);
    return svg;
  }

  // "Play : 0x20 0xff 0xff 0xff", as the console echoes a command.
  function consoleEcho(name, bytes) {
    return t(name) + " :" + bytes.split(" ").map((byte) => " 0x" + byte).join("");
  }

  function showOutcome(name, outcome, bytes, reason) {
    const what = bytes ? consoleEcho(name, bytes) : t(name);
    const texts = {
      ok: () => what,
      error: () => fill(t("%1 (not sent)"), what) + "\n" + reason,
      unknown: () => fill(t("%1: outcome unknown (%2); check the player before sending it again"), what, reason),
    };
    const echo = byId("echo");
    echo.className = outcome;
    echo.textContent = texts[outcome] ? texts[outcome]() : what + " …";
  }

  function showLink(link) {
    const texts = {
      open: "Port open: %1",
      "held by the console": "Through the console, which holds %1",
      waiting: "Waiting: the next command opens %1",
      lost: "Port lost: %1 (the next command tries again)",
    };
    const line = byId("link");
    line.dataset.state = link.state;
    line.textContent = fill(t(texts[link.state] || texts.waiting), link.state === "lost" ? link.reason : link.port);
  }

  function showMixer(known) {
    mixer = known;
    for (const show of channelShows) show();
  }

  async function send(words, name) {
    showOutcome(name, "waiting", "", "");
    let answer;
    try {
      const response = await fetch("/command", { method: "POST", body: words, cache: "no-store" });
      answer = (await response.text()).trim();
    } catch (failure) {
      // Gone before it answered: it may have sent the command or not.
      showOutcome(name, "unknown", "", t("the bridge did not answer"));
      return;
    }
    const [word] = answer.split(" ", 1);
    const rest = answer.slice(word.length + 1);
    if (word === "ok") {
      showOutcome(name, "ok", rest, "");
    } else if (word === "error") {
      showOutcome(name, "error", "", rest);
    } else {
      showOutcome(name, "unknown", "", word === "unknown" ? rest : answer);
    }
  }

  function button(text, action, properties = {}) {
    const made = element("button", Object.assign({ type: "button" }, properties), [text]);
    made.addEventListener("click", action);
    return made;
  }

  function numberInput(label, max, min = 1) {
    return element("input", { type: "number", inputMode: "numeric", min, max, value: min, "aria-label": label });
  }

  // A number the bridge would refuse stays here, said at once.
  function checked(input) {
    const value = Number(input.value);
    const good = Number.isInteger(value) && value >= Number(input.min) && value <= Number(input.max);
    input.setAttribute("aria-invalid", good ? "false" : "true");
    return good ? value : null;
  }

  function choices(name, options) {
    const group = element("div", { className: "choices", role: "radiogroup" });
    options.forEach(([value, label], index) => {
      const input = element("input", { type: "radio", name, value, checked: index === 0 });
      group.append(element("label", {}, [input, element("span", {}, [label])]));
    });
    return group;
  }

  const chosen = (group) => group.querySelector("input:checked").value;

  function card(title, ...rows) {
    return element("section", { className: "card" }, [element("h2", {}, [title]), ...rows]);
  }

  const row = (...children) => element("div", { className: "row" }, children);

  function transportCard() {
    const words = [["previous", "Previous"], ["play", "Play"], ["stop", "Stop"], ["pause", "Pause"], ["next", "Next"]];
    return card(t("Transport"), row(...words.map(([word, name]) =>
      button(icon(word), () => send(word, name), { className: "transport", "aria-label": t(name), title: t(name) }))));
  }

  // Folder and playlist: a number, RND or SEQ, and Reset.
  function loadCard(title, word, name, label) {
    const number = numberInput(t(label), page.limits.media);
    const mode = choices(word + "-mode", [["rnd", t("RND")], ["seq", t("SEQ")]]);
    const reset = element("input", { type: "checkbox" });
    const load = () => {
      const value = checked(number);
      if (value === null) return;
      send([word, value, chosen(mode) === "seq" ? "--seq" : "", reset.checked ? "--reset" : ""].filter(Boolean).join(" "), name);
    };
    return card(title, row(number, mode), row(element("label", { className: "toggle" }, [reset, element("span", {}, [t("Reset")])]),
      button(t("Load"), load, { className: "go" })));
  }

  function spotCard() {
    const number = numberInput(t("Spot number"), page.limits.media);
    const mode = choices("spot-mode", [["", t("RND")], ["--seq", t("SEQ")], ["--x-in-rnd", t("X IN RND")], ["--x-in-seq", t("X IN SEQ")]]);
    mode.classList.add("four");
    const count = numberInput(t("Spot X value"), page.limits.spotCount);
    const load = () => {
      const value = checked(number);
      const modeWord = chosen(mode);
      const x = modeWord.startsWith("--x") ? checked(count) : 0;
      if (value === null || x === null) return;
      send(["spot", value, modeWord, x || ""].filter(Boolean).join(" "), "Load Spot");
    };
    const followMode = () => { count.disabled = !chosen(mode).startsWith("--x"); };
    mode.addEventListener("change", followMode);
    followMode();
    return card(t("Spot"), row(number, element("span", { className: "x" }, ["X"]), count, button(t("Load"), load, { className: "go" })), mode);
  }

  function pickCard(title, label, options, action, word, name) {
    const select = element("select", { "aria-label": t(label) }, options.map(([value, text]) => element("option", { value }, [text])));
    return card(title, row(select, button(t(action), () => send(word + " " + select.value, name), { className: "go" })));
  }

  function stations() {
    return Array.from({ length: page.limits.stations }, (unused, index) => [index + 1, String(index + 1)]);
  }

  // Unknown until a command that went out set it: the slider without its
  // thumb and the level in words; Mute then mutes.
  function volumeCard() {
    channelShows.length = 0;
    const rows = page.channels.map(({ word, name }) => {
      const known = () => mixer[word] || { level: null, muted: null };
      const level = element("output", { className: "level" });
      const slider = element("input", { type: "range", min: page.limits.minLevel, max: page.limits.maxLevel, step: 1,
        "aria-label": fill(t("%1 volume"), name) });
      const step = numberInput(fill(t("%1 volume step"), name), page.limits.maxStep);
      const mute = button(t("Mute"), () => send(`mute ${word} ${known().muted === true ? "off" : "on"}`, "Mute Volume"),
        { className: "mute" });
      const setTo = (value) => send(`volume ${word} ${value}`, "Absolute Volume");
      const stepBy = (direction) => {
        const value = checked(step);
        if (value !== null) send(`volume ${word} ${direction} ${value}`, "Relative Volume");
      };
      slider.addEventListener("input", () => { level.textContent = slider.value + " dB"; });
      slider.addEventListener("change", () => setTo(slider.value));
      const min = button(t("Min"), () => setTo(page.limits.minLevel));
      const max = button(t("Max"), () => setTo(page.limits.maxLevel));
      const less = button(t("Less"), () => stepBy("down"));
      const more = button(t("More"), () => stepBy("up"));
      const show = () => {
        const { level: dB, muted } = known();
        const levelKnown = Number.isInteger(dB);
        slider.classList.toggle("unknown", !levelKnown);
        slider.value = levelKnown ? dB : page.limits.maxLevel; // all of it one colour, no part singled out
        level.textContent = [levelKnown ? dB + " dB" : t("Level unknown"), typeof muted === "boolean" ? "" : t("Mute unknown")]
          .filter(Boolean).join(" · ");
        mute.setAttribute("aria-pressed", typeof muted === "boolean" ? String(muted) : "mixed");
        for (const control of [slider, min, max, less, more, step]) control.disabled = muted === true;
      };
      channelShows.push(show);
      show();
      return element("div", { className: "channel" }, [
        row(element("strong", {}, [name]), level),
        row(min, slider, max),
        row(mute, less, step, more),
      ]);
    });
    return card(t("Volume"), ...rows);
  }

  function build() {
    document.documentElement.lang = page.language;
    document.title = t("Tunaris - Serial Console");
    byId("title").textContent = t("Tunaris - Serial Console");
    const controls = byId("controls");
    controls.replaceChildren(
      // The controls used most come first, within a thumb's reach.
      transportCard(),
      volumeCard(),
      loadCard(t("Folder"), "folder", "Load folder", "Folder number"),
      loadCard(t("Playlist"), "playlist", "Load playlist", "Playlist number"),
      spotCard(),
      pickCard(t("Source"), "Playback source", page.sources.map(({ word, name }) => [word, name]), "Change", "source", "Source"),
      pickCard(t("Web Radio"), "Web radio station", stations(), "Load", "webradio", "Load WebRadio"),
      pickCard(t("FTP Client"), "FTP client number", stations(), "Launch", "ftp", "Launch FTP"));
    controls.hidden = false;
  }

  function openEvents() {
    const events = new WebSocket(`ws://${location.host}/events`);
    events.onopen = () => { retryMs = 1000; };
    events.onmessage = (message) => {
      let data;
      try { data = JSON.parse(message.data); } catch (malformed) { return; }
      if (data.link) showLink(data.link);
      if (data.echo) showOutcome(data.echo.name, data.echo.outcome, data.echo.bytes, data.echo.reason);
      if (data.mixer) showMixer(data.mixer);
    };
    events.onclose = () => {
      const line = byId("link");
      line.className = "lost";
      line.textContent = t("No link to the bridge; trying again");
      setTimeout(start, retryMs);
      retryMs = Math.min(retryMs * 2, 10000);
    };
  }

  // The texts first, and whether this browser holds the key; then the events.
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
      byId("controls").hidden = true;
      const locked = byId("locked");
      locked.textContent = session.key === "wrong"
        ? t("This phone's key is no longer this remote's: ask the operator for its link.")
        : t("Ask the operator for this remote's link: only the key in it lets a phone send commands.");
      locked.hidden = false;
      document.title = t("Tunaris - Serial Console");
      byId("title").textContent = t("Tunaris - Serial Console");
      return;
    }
    byId("locked").hidden = true;
    if (first || byId("controls").hidden) build();
    openEvents();
  }

  start();
})();
