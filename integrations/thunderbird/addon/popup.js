// The message window's button: learns the shown message(s) as spam or good mail.
"use strict";

async function learnShown(spam) {
  const result = document.getElementById("result");
  for (const button of document.querySelectorAll("button")) {
    button.disabled = true;
  }
  result.textContent = "Learning…";
  const [tab] = await messenger.tabs.query({ active: true, currentWindow: true });
  const reply = await messenger.runtime.sendMessage({ type: "learn", spam, tabId: tab.id });
  if (reply && reply.ok) {
    window.close();
    return;
  }
  result.textContent = reply && reply.total
    ? `${reply.total - reply.learned} of ${reply.total} message(s) could not be learned.`
    : "The Junkward engine could not be reached.";
  for (const button of document.querySelectorAll("button")) {
    button.disabled = false;
  }
}

document.getElementById("learn-spam").addEventListener("click", () => learnShown(true));
document.getElementById("learn-good").addEventListener("click", () => learnShown(false));
