// Junkward for Thunderbird: every new message is asked of the engine through
// the native host "com.quillon.junkward"; spam is marked as junk and moved to
// its account's Junk folder. "Learn Spam" / "Learn Good E-mail" (the message
// window's button, the message list's context menu) and the user's own junk
// marks train the engine. Nothing is ever moved unless every step before the
// move succeeded.
"use strict";

const HOST = "com.quillon.junkward";
// Messages larger than this are not judged (the engine's message port carries no more).
const MAX_JUDGED_BYTES = 716800;
const CHECK_TIMEOUT_MS = 150 * 1000;
const LEARN_TIMEOUT_MS = 600 * 1000;
const DEFAULTS = { judging: true, learnFromMarks: true };

// ---------------------------------------------------------------------------
// The native host: one long-lived connection, requests matched to replies by id.

let port = null;
let nextId = 1;
const pending = new Map();

function connectHost() {
  if (port) {
    return port;
  }
  port = messenger.runtime.connectNative(HOST);
  port.onMessage.addListener((reply) => {
    const waiter = reply && pending.get(reply.id);
    if (!waiter) {
      console.warn("Junkward: a reply that matches no request", reply);
      return;
    }
    pending.delete(reply.id);
    clearTimeout(waiter.timer);
    if (reply.ok) {
      waiter.resolve(reply);
    } else {
      waiter.reject(new Error(reply.message || reply.error || "the engine refused the request"));
    }
  });
  port.onDisconnect.addListener((p) => {
    const why = (p && p.error && p.error.message) || (messenger.runtime.lastError && messenger.runtime.lastError.message) ||
      "the Junkward native host ended";
    port = null;
    for (const [, waiter] of pending) {
      clearTimeout(waiter.timer);
      waiter.reject(new Error(why));
    }
    pending.clear();
  });
  return port;
}

function ask(request, timeoutMs) {
  return new Promise((resolve, reject) => {
    const id = nextId++;
    const timer = setTimeout(() => {
      pending.delete(id);
      reject(new Error("the Junkward engine did not answer in time"));
    }, timeoutMs);
    pending.set(id, { resolve, reject, timer });
    try {
      connectHost().postMessage(Object.assign({ id }, request));
    } catch (e) {
      pending.delete(id);
      clearTimeout(timer);
      port = null;
      reject(e);
    }
  });
}

// ---------------------------------------------------------------------------
// Messages, folders, settings.

async function settings() {
  return Object.assign({}, DEFAULTS, await messenger.storage.local.get(Object.keys(DEFAULTS)));
}

function bytesToBase64(bytes) {
  let text = "";
  const chunk = 0x8000;
  for (let i = 0; i < bytes.length; i += chunk) {
    text += String.fromCharCode.apply(null, bytes.subarray(i, i + chunk));
  }
  return btoa(text);
}

// The raw source of a message as base64, or null when it is larger than limit.
async function rawSource(messageId, limit) {
  const file = await messenger.messages.getRaw(messageId, { data_format: "File" });
  if (limit && file.size > limit) {
    return null;
  }
  return bytesToBase64(new Uint8Array(await file.arrayBuffer()));
}

// Every message of a message list, across its pages.
async function* allMessages(list) {
  let page = list;
  while (page) {
    for (const message of page.messages) {
      yield message;
    }
    page = page.id ? await messenger.messages.continueList(page.id) : null;
  }
}

function hasUse(folder, use) {
  return Boolean(folder) && ((folder.specialUse || []).includes(use) || folder.type === use);
}

// The account's folder of a special use ("junk", "inbox"), or null.
async function specialFolder(accountId, use) {
  const found = await messenger.folders.query({ accountId, specialUse: [use] });
  return found.length ? found[0] : null;
}

// Message ids whose junk flag this add-on is changing: their update is not a user's mark.
const ownMarks = new Set();

async function markJunk(message, junk) {
  if (message.junk === junk) {
    return;
  }
  ownMarks.add(message.id);
  try {
    await messenger.messages.update(message.id, { junk });
  } finally {
    // The update event arrives before update() resolves; a short grace covers stragglers.
    setTimeout(() => ownMarks.delete(message.id), 2000);
  }
}

async function moveTo(message, use) {
  const folder = await specialFolder(message.folder.accountId, use);
  if (!folder) {
    throw new Error(`the account has no ${use === "junk" ? "Junk" : "Inbox"} folder`);
  }
  if (folder.id !== message.folder.id) {
    await messenger.messages.move([message.id], folder.id);
  }
}

async function notify(text) {
  try {
    await messenger.notifications.create({
      type: "basic",
      title: "Junkward",
      message: text,
      iconUrl: "icons/junkward.svg",
    });
  } catch (e) {
    console.error("Junkward:", text);
  }
}

// ---------------------------------------------------------------------------
// Judging new mail.

let queue = Promise.resolve();

function enqueue(work) {
  queue = queue.then(work).catch((e) => console.error("Junkward:", e));
  return queue;
}

async function judge(message) {
  if (message.size > MAX_JUDGED_BYTES) {
    return;
  }
  const source = await rawSource(message.id, MAX_JUDGED_BYTES);
  if (source === null) {
    return;
  }
  const reply = await ask({ request: "check", source }, CHECK_TIMEOUT_MS);
  if (!reply.spam) {
    return;
  }
  // The Junk folder is found before anything changes, so a missing one leaves the message alone.
  const junk = await specialFolder(message.folder.accountId, "junk");
  if (!junk) {
    throw new Error(`"${message.subject}" is spam, but its account has no Junk folder`);
  }
  await markJunk(message, true);
  if (junk.id !== message.folder.id) {
    await messenger.messages.move([message.id], junk.id);
  }
}

messenger.messages.onNewMailReceived.addListener(async (folder, list) => {
  if (!(await settings()).judging || hasUse(folder, "junk")) {
    return;
  }
  for await (const message of allMessages(list)) {
    enqueue(() => judge(message).catch((e) => console.error(`Junkward: "${message.subject}" was not judged:`, e.message)));
  }
});

// ---------------------------------------------------------------------------
// Training.

// Learns the messages as spam or good mail; learned spam goes to Junk, learned
// good mail that sits in Junk goes back to the inbox. Returns the number learned.
async function learn(messages, spam) {
  let learned = 0;
  const failures = [];
  for (const message of messages) {
    try {
      const source = await rawSource(message.id, 0);
      await ask({ request: spam ? "learn-spam" : "learn-ham", source }, LEARN_TIMEOUT_MS);
      learned++;
      await markJunk(message, spam);
      if (spam) {
        await moveTo(message, "junk");
      } else if (hasUse(message.folder, "junk")) {
        await moveTo(message, "inbox");
      }
    } catch (e) {
      failures.push(`"${message.subject}": ${e.message}`);
    }
  }
  if (failures.length) {
    await notify(`${failures.length} message(s) could not be learned or moved. ${failures[0]}`);
  }
  return learned;
}

// True when the message is selected or shown in one of Thunderbird's tabs. The
// user marks what is selected or shown; Thunderbird's own junk filter, message
// filters and the "trust junk headers" setting mark mail as it arrives, unseen,
// and their marks (from headers any sender can write) must not train the engine.
async function beforeTheUser(messageId) {
  for (const tab of await messenger.tabs.query({})) {
    try {
      const lists = [];
      if (tab.type === "mail") {
        lists.push(await messenger.mailTabs.getSelectedMessages(tab.id));
      }
      if (tab.type === "mail" || tab.type === "messageDisplay") {
        lists.push(await messenger.messageDisplay.getDisplayedMessages(tab.id));
      }
      for (const list of lists) {
        for await (const message of Array.isArray(list) ? list : allMessages(list)) {
          if (message.id === messageId) {
            return true;
          }
        }
      }
    } catch (e) {
      // A tab closed meanwhile: it shows nothing.
    }
  }
  return false;
}

// The user's own junk / not-junk marks.
messenger.messages.onUpdated.addListener(async (message, changed) => {
  if (!("junk" in changed) || ownMarks.has(message.id)) {
    return;
  }
  if (!(await settings()).learnFromMarks || !(await beforeTheUser(message.id))) {
    return;
  }
  enqueue(async () => {
    const source = await rawSource(message.id, 0);
    await ask({ request: changed.junk ? "learn-spam" : "learn-ham", source }, LEARN_TIMEOUT_MS);
    if (!changed.junk && hasUse(message.folder, "junk")) {
      await moveTo(message, "inbox");
    }
  });
});

const MENU_SPAM = "junkward-learn-spam";
const MENU_GOOD = "junkward-learn-good";
messenger.menus.create({ id: MENU_SPAM, title: "Learn Spam", contexts: ["message_list"], icons: { 16: "icons/spam.svg" } });
messenger.menus.create({ id: MENU_GOOD, title: "Learn Good E-mail", contexts: ["message_list"], icons: { 16: "icons/good.svg" } });

messenger.menus.onClicked.addListener(async (info) => {
  if (info.menuItemId !== MENU_SPAM && info.menuItemId !== MENU_GOOD) {
    return;
  }
  const messages = [];
  for await (const message of allMessages(info.selectedMessages)) {
    messages.push(message);
  }
  await learn(messages, info.menuItemId === MENU_SPAM);
});

// Requests of the message window's popup and the options page.
messenger.runtime.onMessage.addListener(async (request) => {
  if (!request || typeof request !== "object") {
    return undefined;
  }
  if (request.type === "status") {
    try {
      const reply = await ask({ request: "status" }, CHECK_TIMEOUT_MS);
      return { ok: true, filtersVersion: reply.filtersVersion, hostVersion: reply.hostVersion };
    } catch (e) {
      return { ok: false, message: e.message };
    }
  }
  if (request.type === "learn" && Number.isInteger(request.tabId)) {
    const shown = await messenger.messageDisplay.getDisplayedMessages(request.tabId);
    const messages = [];
    for await (const message of Array.isArray(shown) ? shown : allMessages(shown)) {
      messages.push(message);
    }
    const learned = await learn(messages, Boolean(request.spam));
    return { ok: learned === messages.length, learned, total: messages.length };
  }
  return undefined;
});
