// The options page: whether the engine answers, and the two switches.
"use strict";

const DEFAULTS = { judging: true, learnFromMarks: true };

async function showEngine() {
  const engine = document.getElementById("engine");
  engine.textContent = "asking…";
  engine.className = "";
  const reply = await messenger.runtime.sendMessage({ type: "status" });
  if (reply && reply.ok) {
    engine.textContent = `answering (filters ${reply.filtersVersion || "N/A"}, host ${reply.hostVersion})`;
    engine.className = "good";
  } else {
    engine.textContent = `not answering: ${(reply && reply.message) || "no reply"}`;
    engine.className = "bad";
  }
}

async function showSwitches() {
  const values = Object.assign({}, DEFAULTS, await messenger.storage.local.get(Object.keys(DEFAULTS)));
  for (const key of Object.keys(DEFAULTS)) {
    const box = document.getElementById(key);
    box.checked = Boolean(values[key]);
    box.addEventListener("change", () => messenger.storage.local.set({ [key]: box.checked }));
  }
}

document.getElementById("recheck").addEventListener("click", showEngine);
showSwitches();
showEngine();
