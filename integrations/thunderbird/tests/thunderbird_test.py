#!/usr/bin/env python3
"""The add-on in Debian's Thunderbird, end to end.

A private Dovecot serves IMAP on a loopback port to one test user; Thunderbird
runs headless with a profile written here (the IMAP account and its password,
the built add-on dropped into the profile's extensions folder as the set-up
assistant does, the native host manifest in a private HOME pointing at the
staged host); the engine starts through bus activation on a private bus.

Thunderbird runs with its remote control (Marionette, "--marionette
-remote-allow-system-access", on a free port it writes to the profile's
MarionetteActivePort); a small client below sends scripts that run in the main
window's chrome scope and do what the user does there:

1. enable the add-on: Thunderbird keeps it off, so the script opens the main
   menu, chooses "Junkward added to Thunderbird" and clicks Enable in the
   prompt that follows (no preference is changed for the unsigned add-on);
2. a spam and a good message appended to INBOX must end, on the server, one in
   Junk and one in INBOX (no script: the add-on judges new mail by itself);
3. the script shows a folder and selects the good message, then: right-clicks
   it (a "contextmenu" event on its row in the message list), opens the
   add-on's submenu and chooses "Learn Spam", then in Junk "Learn Good
   E-mail"; presses the add-on's button above the shown message (a mouse-down
   on it) and, in the popup that opens, clicks "Learn Spam", then in Junk
   "Learn Good E-mail" (the popup runs in the add-on's own process: a frame
   script loaded into it clicks there); runs Thunderbird's own junk and
   not-junk commands (the J key and its opposite). After each the message must
   be in the right folder on the server and `junkward log` must show the
   training (LEARN_SPAM / LEARN_HAM);
4. a message with a forged verdict header ("Yes"), appended with the two, is
   marked as junk on arrival by the profile's filters (Junkward.sfd, as a user
   may have them; Thunderbird then does not report it as new mail): the mark
   is not the user's, and the activity log must not show it learned.

Arguments: the built .xpi, the staged junkward-native-host, the spam and the
good message files, the filters that mark mail from its verdict header. Exit status 0 passes, 1 fails, 77 skips (no Thunderbird or
no Dovecot).
"""
import base64
import ctypes
import imaplib
import json
import os
import pwd
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time
import uuid

DEADLINE = 120
USER, PASSWORD = "tester", "secret"


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def write(path, text, mode=0o644):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "w") as f:
        f.write(text)
    os.chmod(path, mode)


def start_bus(folder, stage, env):
    write(f"{folder}/bus.conf", f"""<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig><type>session</type><listen>unix:path={folder}/bus</listen>
<servicedir>{stage}/share/dbus-1/services</servicedir>
<policy context="default"><allow send_destination="*" eavesdrop="true"/><allow eavesdrop="true"/><allow own="*"/></policy>
<limit name="max_message_size">1000000000</limit></busconfig>
""")
    bus = subprocess.Popen(["dbus-daemon", "--config-file", f"{folder}/bus.conf", "--nofork", "--print-address"],
                           stdout=subprocess.PIPE, env=env)
    address = bus.stdout.readline().decode().strip()
    if not address:
        raise RuntimeError("dbus-daemon did not start")
    return bus, address


def start_dovecot(folder, port):
    """Dovecot for one user; as root its helpers run as Debian's dovecot users."""
    root = os.geteuid() == 0
    me = pwd.getpwuid(os.geteuid()).pw_name
    login_user, internal_user, mail_user = ("dovenull", "dovecot", "dovecot") if root else (me, me, me)
    mail = f"{folder}/mail"
    os.makedirs(mail)
    os.chmod(folder, 0o755)
    os.chmod(mail, 0o777)
    write(f"{folder}/passwd", f"{USER}:{{PLAIN}}{PASSWORD}\n")
    uid = pwd.getpwnam(mail_user)
    write(f"{folder}/dovecot.conf", f"""base_dir = {folder}/run
state_dir = {folder}/run
log_path = {folder}/dovecot.log
protocols = imap
listen = 127.0.0.1
ssl = no
disable_plaintext_auth = no
auth_mechanisms = plain login
default_login_user = {login_user}
default_internal_user = {internal_user}
first_valid_uid = 1
mail_location = maildir:{mail}/%u
passdb {{
  driver = passwd-file
  args = scheme=PLAIN {folder}/passwd
}}
userdb {{
  driver = static
  args = uid={uid.pw_uid} gid={uid.pw_gid} home={mail}/%u
}}
namespace inbox {{
  inbox = yes
  separator = /
  mailbox Junk {{
    special_use = \\Junk
    auto = subscribe
  }}
}}
service imap-login {{
  inet_listener imap {{
    address = 127.0.0.1
    port = {port}
  }}
  inet_listener imaps {{
    port = 0
  }}
  chroot =
}}
service anvil {{
  chroot =
}}
""")
    subprocess.run(["/usr/sbin/dovecot", "-c", f"{folder}/dovecot.conf"], check=True)


def stop_dovecot(folder):
    try:
        with open(f"{folder}/run/master.pid") as f:
            os.kill(int(f.read().strip()), signal.SIGTERM)
    except (OSError, ValueError):
        pass


def write_logins(profile, origin):
    """The account's password, stored as Thunderbird stores it (NSS, no primary password)."""
    nss = ctypes.CDLL("libnss3.so")

    class SECItem(ctypes.Structure):
        _fields_ = [("type", ctypes.c_uint), ("data", ctypes.c_void_p), ("len", ctypes.c_uint)]

    nss.NSS_Initialize.argtypes = [ctypes.c_char_p] * 4 + [ctypes.c_uint]
    nss.PK11_GetInternalKeySlot.restype = ctypes.c_void_p
    nss.PK11_NeedUserInit.argtypes = [ctypes.c_void_p]
    nss.PK11_InitPin.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_char_p]
    nss.PK11SDR_Encrypt.argtypes = [ctypes.POINTER(SECItem)] * 3 + [ctypes.c_void_p]
    if nss.NSS_Initialize(b"sql:" + profile.encode(), b"", b"", b"secmod.db", 0) != 0:
        raise RuntimeError("NSS_Initialize failed")
    slot = nss.PK11_GetInternalKeySlot()
    if nss.PK11_NeedUserInit(slot):
        nss.PK11_InitPin(slot, None, b"")

    def encrypt(text):
        raw = text.encode()
        buffer = ctypes.create_string_buffer(raw, len(raw))
        out = SECItem(0, None, 0)
        if nss.PK11SDR_Encrypt(ctypes.byref(SECItem(0, None, 0)),
                               ctypes.byref(SECItem(0, ctypes.cast(buffer, ctypes.c_void_p), len(raw))),
                               ctypes.byref(out), None) != 0:
            raise RuntimeError("PK11SDR_Encrypt failed")
        return base64.b64encode(ctypes.string_at(out.data, out.len)).decode()

    now = int(time.time() * 1000)
    login = {"id": 1, "hostname": origin, "httpRealm": origin, "formSubmitURL": None, "usernameField": "",
             "passwordField": "", "encryptedUsername": encrypt(USER), "encryptedPassword": encrypt(PASSWORD),
             "guid": "{%s}" % uuid.uuid4(), "encType": 1, "timeCreated": now, "timeLastUsed": now,
             "timePasswordChanged": now, "timesUsed": 1}
    nss.NSS_Shutdown()
    with open(f"{profile}/logins.json", "w") as f:
        json.dump({"nextId": 2, "logins": [login], "potentiallyVulnerablePasswords": [],
                   "dismissedBreachAlertsByLoginGUID": {}, "version": 3}, f)


def write_profile(profile, port, xpi, filters):
    os.makedirs(f"{profile}/extensions")
    shutil.copy(xpi, f"{profile}/extensions/junkward@quillon.com.xpi")
    # Filters that mark mail as junk from its verdict header, as a user may have.
    os.makedirs(f"{profile}/ImapMail/127.0.0.1")
    shutil.copy(filters, f"{profile}/ImapMail/127.0.0.1/msgFilterRules.dat")
    prefs = {
        # Thunderbird's own defaults for add-ons put in the profile by another
        # program (off until the user allows them), against the remote control's.
        "extensions.autoDisableScopes": 3,
        "extensions.enabledScopes": 15,
        "mail.shell.checkDefaultClient": False,
        "mail.provider.suppress_dialog_on_startup": True,
        "mailnews.start_page.enabled": False,
        "datareporting.policy.dataSubmissionEnabled": False,
        "devtools.console.stdout.content": True,
        # The remote control on a free port, written to MarionetteActivePort.
        "marionette.port": 0,
        "mail.account.account1.identities": "id1",
        "mail.account.account1.server": "server1",
        "mail.account.account2.server": "server2",
        "mail.accountmanager.accounts": "account1,account2",
        "mail.accountmanager.defaultaccount": "account1",
        "mail.accountmanager.localfoldersserver": "server2",
        "mail.identity.id1.useremail": "tester@example.org",
        "mail.identity.id1.fullName": "Tester",
        "mail.server.server1.directory-rel": "[ProfD]ImapMail/127.0.0.1",
        "mail.server.server1.hostname": "127.0.0.1",
        "mail.server.server1.port": port,
        "mail.server.server1.type": "imap",
        "mail.server.server1.userName": USER,
        "mail.server.server1.name": USER,
        "mail.server.server1.socketType": 0,
        "mail.server.server1.authMethod": 3,
        "mail.server.server1.login_at_startup": True,
        "mail.server.server1.check_new_mail": True,
        "mail.server.server1.check_time": 1,
        # Thunderbird's own junk filter stays out of the way.
        "mail.server.server1.spamLevel": 0,
        "mail.spam.manualMark": False,
        "mail.server.server2.hostname": "Local Folders",
        "mail.server.server2.type": "none",
        "mail.server.server2.userName": "nobody",
        "mail.server.server2.name": "Local Folders",
    }
    write(f"{profile}/user.js", "".join(f"user_pref({json.dumps(k)}, {json.dumps(v)});\n" for k, v in prefs.items()))
    write_logins(profile, "imap://127.0.0.1")


def mailbox(port, name):
    """The Message-IDs in one mailbox on the server."""
    imap = imaplib.IMAP4("127.0.0.1", port)
    try:
        imap.login(USER, PASSWORD)
        status, data = imap.select(name, readonly=True)
        if status != "OK" or int(data[0]) == 0:
            return []
        # One FETCH of every message: Thunderbird may move one away between two
        # commands, and a message gone answers with no (header, body) pair.
        try:
            status, parts = imap.fetch("1:*", "(BODY.PEEK[HEADER.FIELDS (MESSAGE-ID)])")
        except imaplib.IMAP4.error:  # the mailbox was emptied meanwhile
            return []
        if status != "OK":
            return []
        return [part[1].decode(errors="replace").split(":", 1)[-1].strip()
                for part in parts if isinstance(part, tuple)]
    finally:
        imap.logout()


def append(port, message):
    imap = imaplib.IMAP4("127.0.0.1", port)
    try:
        imap.login(USER, PASSWORD)
        imap.append("INBOX", None, imaplib.Time2Internaldate(time.time()), message)
    finally:
        imap.logout()


def header(message, name):
    for line in message.split(b"\r\n"):
        if line.lower().startswith(name + b":"):
            return line.split(b":", 1)[1].strip().decode(errors="replace")
    return None


def message_id(message):
    return header(message, b"message-id")


class Marionette:
    """Thunderbird's remote control: length-prefixed JSON over TCP (protocol 3).

    Commands are [0, id, name, parameters]; replies [1, id, error, result]."""

    def __init__(self, port):
        self.sock = socket.create_connection(("127.0.0.1", port), timeout=DEADLINE)
        self.buffer = b""
        self.last_id = 0
        hello = self.receive()
        if hello.get("marionetteProtocol") != 3:
            raise AssertionError(f"unexpected Marionette greeting {hello}")

    def receive(self):
        while b":" not in self.buffer:
            self.read_more()
        length, self.buffer = self.buffer.split(b":", 1)
        while len(self.buffer) < int(length):
            self.read_more()
        packet, self.buffer = self.buffer[:int(length)], self.buffer[int(length):]
        return json.loads(packet)

    def read_more(self):
        data = self.sock.recv(65536)
        if not data:
            raise AssertionError("Thunderbird closed the Marionette connection")
        self.buffer += data

    def call(self, name, parameters=None):
        self.last_id += 1
        packet = json.dumps([0, self.last_id, name, parameters or {}]).encode()
        self.sock.sendall(b"%d:%s" % (len(packet), packet))
        while True:
            reply = self.receive()
            if isinstance(reply, list) and reply[0] == 1 and reply[1] == self.last_id:
                break
        if reply[2]:
            raise AssertionError(f"{name}: {reply[2].get('error')}: {reply[2].get('message')}")
        return reply[3]

    def run(self, script, *args):
        """Runs script (an async function body) in the main window's chrome scope."""
        return self.call("WebDriver:ExecuteScript",
                         {"script": f"return (async () => {{ {script} }})();", "args": list(args)})["value"]


def wait_for(done, seconds=DEADLINE):
    end = time.time() + seconds
    while time.time() < end:
        if done():
            return True
        time.sleep(0.5)
    return done()


# Shows a message of the default account's folder (by its flag) in the main
# window and selects it; then, by how: "menu" opens the message list's context
# menu on it as a right click does and chooses the item labelled label;
# "button" clicks the add-on's button above the shown message and, in the popup
# that opens, the button labelled label; "command" runs Thunderbird's command
# label as its key or toolbar button does.
CHOOSE_FOR_MESSAGE = """
const [messageId, folderFlag, how, label] = arguments;
const { MailServices } = ChromeUtils.importESModule("resource:///modules/MailServices.sys.mjs");
const win = Services.wm.getMostRecentWindow("mail:3pane");
const about3Pane = win.document.getElementById("tabmail").currentAbout3Pane;
const folder = MailServices.accounts.defaultAccount.incomingServer.rootFolder.getFolderWithFlags(folderFlag);
const sleep = (ms) => new Promise((resolve) => win.setTimeout(resolve, ms));
let index = -1;
for (let i = 0; i < 400 && index < 0; i++) {
  if (about3Pane.gFolder !== folder) {
    about3Pane.displayFolder(folder.URI);
  } else if (i % 20 === 19) {
    folder.updateFolder(win.msgWindow);
  }
  await sleep(250);
  const header = about3Pane.gDBView && folder.msgDatabase.getMsgHdrForMessageID(messageId);
  if (header) {
    index = about3Pane.gDBView.findIndexOfMsgHdr(header, true);
  }
}
if (index < 0) {
  throw new Error(`<${messageId}> is not listed in ${folder.prettyName}`);
}
about3Pane.threadTree.selectedIndex = index;
about3Pane.threadTree.scrollToIndex(index, true);
let row = null;
for (let i = 0; i < 40 && !row; i++) {
  await sleep(50);
  row = about3Pane.threadTree.getRowAtIndex(index);
}
if (how === "command") {
  win.goDoCommand(label);
  return label;
}
if (how === "button") {
  const aboutMessage = win.document.getElementById("tabmail").currentAboutMessage;
  for (let i = 0; i < 200 && aboutMessage.gMessage?.messageId !== messageId; i++) {
    await sleep(100);
  }
  const button = aboutMessage.document.getElementById("junkward_quillon_com-messageDisplayAction-toolbarbutton");
  if (!button || aboutMessage.gMessage?.messageId !== messageId) {
    throw new Error("the shown message has no Junkward button");
  }
  button.dispatchEvent(new aboutMessage.MouseEvent("mousedown", { bubbles: true, button: 0, view: aboutMessage }));
  // The popup is a page of the add-on's own process: a frame script clicks there.
  let popup = null;
  for (let i = 0; i < 200 && !popup?.messageManager; i++) {
    await sleep(100);
    popup = win.document.querySelector("browser.webextension-popup-browser");
  }
  if (!popup?.messageManager) {
    throw new Error("the Junkward button opened no popup");
  }
  const clicked = new Promise((resolve) =>
    popup.messageManager.addMessageListener("junkward-test:clicked", (m) => resolve(m.data)));
  const click = (wanted) => {
    const tryClick = () => {
      const button = [...content.document.querySelectorAll("button")].find((b) => b.textContent.trim() === wanted);
      if (button) {
        button.click();
        sendAsyncMessage("junkward-test:clicked", button.id);
      } else {
        content.setTimeout(tryClick, 100);
      }
    };
    tryClick();
  };
  popup.messageManager.loadFrameScript(`data:,(${click})(${JSON.stringify(label)})`, false);
  const choice = await Promise.race([clicked, sleep(20000)]);
  if (!choice) {
    throw new Error(`the Junkward popup shows no "${label}" (${popup.currentURI?.spec})`);
  }
  return choice;
}
const popup = about3Pane.document.getElementById("mailContext");
const shown = new Promise((resolve) => popup.addEventListener("popupshown", resolve, { once: true }));
const box = row.getBoundingClientRect();
row.dispatchEvent(new about3Pane.MouseEvent("contextmenu", { bubbles: true, cancelable: true, button: 2,
  view: about3Pane, clientX: box.x + 10, clientY: box.y + 5 }));
await shown;
const item = [...popup.querySelectorAll("menuitem")].find((m) => m.label === label && !m.hidden && !m.disabled);
if (!item) {
  popup.hidePopup();
  throw new Error(`no "${label}" in the message list's menu`);
}
// The add-on's items sit in a submenu of its name: open it as the pointer does.
const menu = item.parentNode.closest("menu");
if (menu) {
  const opened = new Promise((resolve) => item.parentNode.addEventListener("popupshown", resolve, { once: true }));
  menu.openMenu(true);
  await opened;
}
item.parentNode.activateItem(item);
return item.id;
"""

# Thunderbird keeps an add-on that another program put in the profile switched
# off and lists it in its main menu as "<name> added to Thunderbird"; choosing
# that entry shows a prompt whose Enable button switches the add-on on. The
# script does what the user does and checks each step on the way.
ENABLE_ADDON = """
const [addonId, addonName] = arguments;
const win = Services.wm.getMostRecentWindow("mail:3pane");
const { ExtensionsUI } = ChromeUtils.importESModule("resource:///modules/ExtensionsUI.sys.mjs");
const { AddonManager } = ChromeUtils.importESModule("resource://gre/modules/AddonManager.sys.mjs");
const sleep = (ms) => new Promise((resolve) => win.setTimeout(resolve, ms));
const addon = await AddonManager.getAddonByID(addonId);
if (!addon) {
  throw new Error("Thunderbird did not find the add-on in the profile");
}
if (addon.isActive) {
  throw new Error("Thunderbird enabled an add-on another program put in the profile without asking");
}
for (let i = 0; i < 240 && ![...ExtensionsUI.sideloaded].some((a) => a.id === addonId); i++) {
  await sleep(250);
}
const panel = win.PanelUI.panel;
const menuShown = new Promise((resolve) => panel.addEventListener("popupshown", resolve, { once: true }));
win.PanelUI.show();
await menuShown;
let entry = null;
for (let i = 0; i < 100 && !entry; i++) {
  entry = [...win.PanelUI.addonNotificationContainer.children].find((b) => (b.label || "").includes(addonName));
  if (!entry) {
    await sleep(100);
  }
}
if (!entry) {
  throw new Error(`Thunderbird's main menu offers no entry for ${addonName}`);
}
const label = entry.label;
const promptPanel = win.PopupNotifications.panel;
const promptShown = new Promise((resolve) => promptPanel.addEventListener("popupshown", resolve, { once: true }));
entry.click();
await promptShown;
const prompt = promptPanel.querySelector("popupnotification");
win.focus();
// Thunderbird ignores a click on a prompt that has only just appeared.
await sleep(1500);
prompt.button.click();
for (let i = 0; i < 120; i++) {
  if ((await AddonManager.getAddonByID(addonId)).isActive) {
    return `${label} › ${prompt.button.label}`;
  }
  await sleep(250);
}
throw new Error("the add-on is still switched off after Enable");
"""

INBOX_FLAG, JUNK_FLAG = 0x1000, 0x40000000


def crlf(data):
    return data.replace(b"\r\n", b"\n").replace(b"\n", b"\r\n")


def activity_log(stage, env):
    run = subprocess.run([os.path.join(stage, "bin", "junkward"), "log"], env=env, capture_output=True, timeout=60)
    return run.stdout.decode(errors="replace").splitlines()


def main():
    xpi, host, spam_file, good_file, filters = map(os.path.abspath, sys.argv[1:6])
    thunderbird = shutil.which("thunderbird")
    if not thunderbird or not os.path.exists("/usr/sbin/dovecot"):
        print("SKIP: thunderbird or dovecot-imapd is not installed")
        return 77
    stage = os.environ["JUNKWARD_STAGE"]
    with open(spam_file, "rb") as f:
        spam = crlf(f.read())
    with open(good_file, "rb") as f:
        good = crlf(f.read())
    if good.startswith(b"From "):
        good = good.split(b"\r\n", 1)[1]

    top = tempfile.mkdtemp(prefix="jkwtb-", dir="/tmp")
    os.chmod(top, 0o755)  # Dovecot's own users read its files below
    env = dict(os.environ)
    tb = bus = None
    try:
        env.update(HOME=f"{top}/home", JUNKWARD_USER_LIBRARY=f"{top}/library", XDG_RUNTIME_DIR=f"{top}/run",
                   TMPDIR=f"{top}/tmp", MOZ_CRASHREPORTER_DISABLE="1")
        for d in ("home", "library", "run", "tmp"):
            os.makedirs(f"{top}/{d}", mode=0o700)
        bus, address = start_bus(top, stage, env)
        env["DBUS_SESSION_BUS_ADDRESS"] = address

        # The host, through a wrapper that records each start.
        write(f"{top}/host.sh", f"#!/bin/sh\necho started >> '{top}/host-starts'\n'{host}' \"$@\" 2>> '{top}/host.log'\n"
              f"echo \"ended with $?\" >> '{top}/host.log'\n", 0o755)
        write(f"{top}/home/.mozilla/native-messaging-hosts/com.quillon.junkward.json", json.dumps({
            "name": "com.quillon.junkward", "description": "Junkward engine", "path": f"{top}/host.sh",
            "type": "stdio", "allowed_extensions": ["junkward@quillon.com"]}))

        port = free_port()
        start_dovecot(f"{top}/dovecot", port)
        profile = f"{top}/profile"
        write_profile(profile, port, xpi, filters)

        log = open(f"{top}/thunderbird.log", "wb")
        tb = subprocess.Popen([thunderbird, "--headless", "--no-remote", "--marionette", "-remote-allow-system-access",
                               "--profile", profile], env=env, stdout=log, stderr=subprocess.STDOUT,
                              start_new_session=True)
        marionette_port = f"{profile}/MarionetteActivePort"
        if not wait_for(lambda: os.path.exists(marionette_port)):
            raise AssertionError("Marionette did not start")
        remote = Marionette(int(open(marionette_port).read()))
        remote.call("WebDriver:NewSession", {"capabilities": {}})
        remote.call("Marionette:SetContext", {"value": "chrome"})
        remote.call("WebDriver:SetTimeouts", {"script": DEADLINE * 1000})
        print("PASS: the user enables the unsigned add-on:", remote.run(ENABLE_ADDON, "junkward@quillon.com", "Junkward"))

        dovecot_log = f"{top}/dovecot/dovecot.log"
        if not wait_for(lambda: os.path.exists(dovecot_log) and "Login: user=<tester>" in open(dovecot_log).read()):
            raise AssertionError("Thunderbird never logged in to the IMAP server")

        # Mail that arrives while Thunderbird watches INBOX: a first good message
        # until the add-on is seen asking the engine (the host starts), then the two.
        warmup = 0
        while not os.path.exists(f"{top}/host-starts"):
            if warmup == 6:
                raise AssertionError("the add-on never started the native host")
            warmup += 1
            append(port, good.replace(b"Message-Id: <", b"Message-Id: <warmup%d." % warmup, 1)
                   .replace(b"Message-ID: <", b"Message-ID: <warmup%d." % warmup, 1))
            wait_for(lambda: os.path.exists(f"{top}/host-starts"), 20)
        # A sender's forged verdict header makes the filters mark a message as
        # junk on arrival: that mark is not the user's and must not train.
        forged = good.replace(b"Message-Id: <", b"Message-Id: <forged.", 1).replace(
            b"Message-ID: <", b"Message-ID: <forged.", 1)
        forged = b"X-Junkward-Status: Yes, reason=BLACKLIST, version=5.0.0\r\n" + forged.replace(
            b"Subject: ", b"Subject: Forged ", 1)
        append(port, forged)
        append(port, spam)
        append(port, good)
        spam_id, good_id = message_id(spam), message_id(good)
        spam_words = ("LEARN_SPAM", "Learned as spam")
        good_words = ("LEARN_HAM", "Learned as good")
        good_subject = header(good, b"subject")
        if not wait_for(lambda: spam_id in mailbox(port, "Junk")):
            raise AssertionError(f"the spam did not reach Junk: INBOX {mailbox(port, 'INBOX')}, Junk {mailbox(port, 'Junk')}")
        # Judging is sequential: once the spam is in Junk, give the good message its turn.
        time.sleep(5)
        inbox, junk = mailbox(port, "INBOX"), mailbox(port, "Junk")
        if good_id not in inbox or good_id in junk or spam_id in inbox:
            raise AssertionError(f"wrong folders: INBOX {inbox}, Junk {junk}")
        print(f"PASS: spam in Junk, good mail in INBOX ({warmup} warm-up message(s))")
        # It came before the two, whose turn has passed: a learn from its mark would show by now.
        forged_lines = [line for line in activity_log(stage, env) if "\tForged " in line]
        if any(word in line for line in forged_lines for word in spam_words):
            raise AssertionError("a filter's junk mark trained the engine: " + "\n".join(forged_lines))
        print("PASS: a junk mark set by a filter on arrival is not learned")

        # Training, through Thunderbird's own window.
        bare_good_id = good_id.strip("<>")

        def learned(code, name):
            # One log record per message, moved to the end by each change: the good
            # message's is the last with its subject.
            lines = [line for line in activity_log(stage, env) if line.split("\t")[2:3] == [good_subject]]
            return bool(lines) and (code in lines[-1] or name in lines[-1])

        def step(what, folder_flag, how, label, to, code, name):
            remote.run(CHOOSE_FOR_MESSAGE, bare_good_id, folder_flag, how, label)
            other = "Junk" if to == "INBOX" else "INBOX"
            if to and not wait_for(lambda: good_id in mailbox(port, to) and good_id not in mailbox(port, other)):
                raise AssertionError(f"{what} did not move the message to {to}")
            if not wait_for(lambda: learned(code, name)):
                raise AssertionError(f"{what} is not in the activity log:\n" + "\n".join(activity_log(stage, env)))
            print(f"PASS: {what}" + (f", the message is in {to}" if to else ""))

        step("Learn Spam from the message list's menu", INBOX_FLAG, "menu", "Learn Spam", "Junk", *spam_words)
        step("Learn Good E-mail from the message list's menu", JUNK_FLAG, "menu", "Learn Good E-mail", "INBOX",
             *good_words)
        step("Learn Spam from the shown message's button", INBOX_FLAG, "button", "Learn Spam", "Junk", *spam_words)
        step("Learn Good E-mail from the shown message's button", JUNK_FLAG, "button", "Learn Good E-mail", "INBOX",
             *good_words)
        # The user's own marks (Thunderbird's junk button and key) train the engine too.
        step("the user's junk mark", INBOX_FLAG, "command", "cmd_markAsJunk", None, *spam_words)
        step("the user's not-junk mark", INBOX_FLAG, "command", "cmd_markAsNotJunk", None, *good_words)


        return 0
    except AssertionError as e:
        print(f"FAIL: {e}")
        for name in ("host.log", "thunderbird.log", "dovecot/dovecot.log"):
            path = f"{top}/{name}"
            if os.path.exists(path):
                print(f"--- {name}")
                lines = [l for l in open(path, errors="replace") if "gtk" not in l.lower() and l.strip()]
                print("".join(lines[-40:]))
        return 1
    finally:
        if tb:
            try:
                os.killpg(tb.pid, signal.SIGTERM)
                tb.wait(30)
            except (OSError, subprocess.TimeoutExpired):
                os.killpg(tb.pid, signal.SIGKILL)
        if bus:
            subprocess.run([os.path.join(stage, "bin", "junkward"), "quit"], env=env, capture_output=True, timeout=60)
            bus.terminate()
            bus.wait(20)
        stop_dovecot(f"{top}/dovecot")
        shutil.rmtree(top, ignore_errors=True)

if __name__ == "__main__":
    sys.exit(main())
