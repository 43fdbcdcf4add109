"""The cases of test_dbus_service, each run by the test program under a
dbus-run-session of its own, the service registered in the scratch
XDG_DATA_HOME so the bus starts it on the first call.

    dbus_service_check.py <case> <interface folder> <scratch folder>

Exit status 0 when the case held; otherwise the reason is printed."""

import os
import signal
import subprocess
import sys
import time
import xml.etree.ElementTree as ET

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
import dbus  # noqa: E402
from dsutil_bus_client import DSUtilClient, IFACE, SERVICE, members, valid_argument  # noqa: E402

CASE, XML_DIR, SCRATCH = sys.argv[1], sys.argv[2], sys.argv[3]


class Failed(Exception):
    pass


def check(cond, what):
    if not cond:
        raise Failed(what)


def gdbus(*args):
    r = subprocess.run(["gdbus", *args], capture_output=True, text=True, timeout=60)
    return r.returncode, r.stdout + r.stderr


def gdbus_call(path, method, *args):
    return gdbus("call", "--session", "--dest", SERVICE, "--object-path", path, "--method", method, *args)


def interfaces(xml_text):
    """Each DSUtils interface as comparable data: its methods, their
    arguments and annotations in order."""
    root = ET.fromstring(xml_text)
    out = {}
    for iface in root.findall("interface"):
        name = iface.get("name")
        if not name.startswith("DSUtils."):
            continue
        methods = []
        for m in iface.findall("method"):
            items = [(c.tag, tuple(sorted(c.attrib.items()))) for c in m]
            methods.append((m.get("name"), items))
        out[name] = methods
    return out


def repository_interface(name):
    with open(os.path.join(XML_DIR, name + ".xml"), encoding="utf-8") as f:
        return interfaces(f.read())[name]


def introspected(path):
    status, text = gdbus("introspect", "--session", "--dest", SERVICE, "--object-path", path, "--xml")
    check(status == 0, "gdbus introspect %s: %s" % (path, text))
    return interfaces(text)


def wait_for(what, predicate, seconds=10.0):
    end = time.monotonic() + seconds
    while time.monotonic() < end:
        if predicate():
            return
        time.sleep(0.05)
    raise Failed("waited %.0f s for %s" % (seconds, what))


def dbus_error(call):
    try:
        call()
    except dbus.exceptions.DBusException as e:
        return e.get_dbus_name()
    return None


def case_introspection():
    check(introspected("/DSUtil") == {"DSUtils.Factory": repository_interface("DSUtils.Factory")},
          "/DSUtil does not answer DSUtils.Factory as kept in the repository")
    client = DSUtilClient()
    path = client.create()
    check(path.startswith("/DSUtil/"), "Create answered " + path)
    check(introspected(path) == {IFACE: repository_interface(IFACE)},
          "%s does not answer DSUtils.IDSUtil as kept in the repository" % path)


def case_object_of_an_exited_gdbus():
    status, text = gdbus_call("/DSUtil", "DSUtils.Factory.Create")
    check(status == 0, "Create: " + text)
    path = text.strip().split("'")[1]
    # The object is gone once its creator's connection is: a later call finds no object.
    def gone():
        status, text = gdbus_call(path, IFACE + ".get_Email_Auto", "0")
        return status != 0 and "org.freedesktop.DBus.Error.UnknownObject" in text
    wait_for(path + " to go", gone)
    status, text = gdbus("introspect", "--session", "--dest", SERVICE, "--object-path", "/DSUtil", "--recurse")
    check(status == 0 and path not in text, "still listed: " + text)


def case_other_clients_object_refused():
    owner = DSUtilClient()
    path = owner.create()
    attached = os.path.join(SCRATCH, "attached.txt")
    check(owner.call("put_AttachFile", attached) == (0,), "the owner's put_AttachFile")
    status, text = gdbus_call(path, IFACE + ".get_Email_Encript", "7")
    check(status != 0 and "DSUtils.Error.AccessDenied" in text, "gdbus on another's object: " + text)
    other = DSUtilClient()
    other.create()
    for member, args in (("get_Email_Encript", (dbus.Int32(7),)), ("put_Email_Encript", (dbus.Int32(0),)),
                         ("ResetAttach", ()),
                         ("CommanLineEx", ("-s", "--in=/x", dbus.Int32(0)))):
        name = dbus_error(lambda: other.call(member, *args, path=path))
        check(name == "DSUtils.Error.AccessDenied", "%s from another client: %s" % (member, name))
    # The owner still has its own value.
    # The refused ResetAttach left the owner's list alone.
    answer = owner.call("get_AttachFile", attached)
    check(answer[0] == 0, "the owner's attachment is gone: %r" % (answer,))
    check(other.call("get_AttachFile", attached)[0] == 1, "the attachment reached another client's object")


def case_bus_errors():
    client = DSUtilClient()
    client.create()
    # QtDBus dispatches on the name and the signature together: arguments of
    # the wrong types find no method either, and the answer names them.
    table = [
        (("NoSuchMember",), "''"),
        (("put_Email_Auto", "text"), "'s'"),
        (("get_AttachFile", dbus.Int32(1)), "'i'"),
        (("put_Operation", dbus.Int32(1)), "'i'"),
        (("put_Operation", dbus.Struct((dbus.Int32(1), "t"), signature="is")), "'(is)'"),
    ]
    for args, signature in table:
        try:
            client.call(*args)
            raise Failed("%r was answered" % (args,))
        except dbus.exceptions.DBusException as e:
            check(e.get_dbus_name() == "org.freedesktop.DBus.Error.UnknownMethod"
                  and "(signature %s)" % signature in str(e), "%r answered %s" % (args, e))
    check(client.call("put_Operation", dbus.Struct((dbus.Int32(1), "t", "o"), signature="iss")) == (0,),
          "put_Operation with its block")
    # Bad values of the right type are the object's business.
    check(client.call("get_GetDataFromDll", "no-such-key", "", "kept") == (0, "kept"), "unknown key")
    check(client.call("get_AttachFile", "/not/attached") == (1, "/not/attached"), "a path not attached")
    for member in ("CommandLine", "CommanLineEx"):
        for line in ("--in=relative.txt --out=/tmp/x", "--in=/tmp/x --out=relative.sgn"):
            check(client.call(member, "-s", line, dbus.Int32(-1)) == (1, 10000), "%s %s" % (member, line))


def case_limit():
    client = DSUtilClient()
    paths = {client.create() for _ in range(16)}
    check(len(paths) == 16, "16 distinct objects")
    check(dbus_error(client.create) == "DSUtils.Error.Limit", "a 17th object was made")
    # Another connection has its own 16.
    check(DSUtilClient().create() not in paths, "another client's object")


def case_every_member():
    """Each member of the repository's interface, once, with valid arguments:
    it answers, with the HResult first and the declared out-arguments."""
    client = DSUtilClient()
    client.create()
    document = os.path.join(SCRATCH, "doc.txt")
    with open(document, "w", encoding="utf-8") as f:
        f.write("a document\n")
    table = members(os.path.join(XML_DIR, IFACE + ".xml"))
    check(len(table) == 47, "the interface has %d members" % len(table))
    for name, ins, outs in table:
        args = [valid_argument(sig, document) for sig in ins]
        answer = client.call(name, *args)
        check(len(answer) == len(outs), "%s answered %r" % (name, answer))
        check(outs[0] == "i" and int(answer[0]) in (0, 1), "%s: HResult %r" % (name, answer[0]))
        for sig, value in zip(outs[1:], answer[1:]):
            check(isinstance(value, dbus.String if sig == "s" else dbus.Int32), "%s: %r for %s" % (name, value, sig))


def service_pid(client):
    driver = client.bus.get_object("org.freedesktop.DBus", "/org/freedesktop/DBus")
    return int(driver.GetConnectionUnixProcessID(SERVICE, dbus_interface="org.freedesktop.DBus"))


def running(pid):
    try:
        with open("/proc/%d/stat" % pid, encoding="ascii") as f:
            return f.read().split(")")[-1].split()[0] != "Z"
    except OSError:
        return False


def case_busy_and_a_killed_client():
    # The script delays each question: an operation keeps its object busy
    # for that long.
    document = os.path.join(SCRATCH, "doc.txt")
    with open(document, "w", encoding="utf-8") as f:
        f.write("a document\n")
    first = DSUtilClient()
    first.create()
    first.send("SignatureFile", "s", document)
    wait_for("the operation to start",
             lambda: dbus_error(lambda: first.call("get_Email_Auto", dbus.Int32(0))) == "DSUtils.Error.Busy", 5)
    other = DSUtilClient()
    other.create()
    started = time.monotonic()
    check(other.call("get_Email_Auto", dbus.Int32(5))[0] == 0, "another client's getter")
    check(time.monotonic() - started < 1.0, "another client waited for the operation")
    wait_for("the operation to end",
             lambda: dbus_error(lambda: first.call("get_Email_Auto", dbus.Int32(0))) is None, 30)

    # A client killed in the middle of its operation.
    pid = service_pid(other)
    child = subprocess.Popen([sys.executable, "-c", """
import sys, time
sys.path.insert(0, sys.argv[1])
from dsutil_bus_client import DSUtilClient
c = DSUtilClient()
print(c.create(), flush=True)
c.send("SignatureFile", "s", sys.argv[2])
time.sleep(600)
""", os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"), document],
        stdout=subprocess.PIPE, text=True)
    path = child.stdout.readline().strip()
    check(path.startswith("/DSUtil/"), "the child's object: " + path)
    time.sleep(0.3)
    child.send_signal(signal.SIGKILL)
    child.wait()

    def listed():
        status, text = gdbus("introspect", "--session", "--dest", SERVICE, "--object-path", "/DSUtil", "--recurse")
        return path in text
    wait_for("the killed client's object to go", lambda: not listed(), 5)
    check(other.call("get_Email_Auto", dbus.Int32(5))[0] == 0, "the other client meanwhile")
    first.close()
    other.close()
    # Last object gone: the service quits after its (shortened) quiet time,
    # once the killed client's operation has ended.
    wait_for("the service to quit", lambda: not running(pid), 30)


def send_message(client, request, answer):
    for file in request["attach"]:
        check(client.call("put_AttachFile", file) == (0,), "put_AttachFile " + file)
    for email, cert in request["recipients"]:
        check(client.call("AddResipients", email, cert) == (0,), "AddResipients " + email)
    check(client.call("put_Email_Encript", dbus.Int32(1)) == (0,), "put_Email_Encript")
    check(client.call("put_Email_Signature", dbus.Int32(1)) == (0,), "put_Email_Signature")
    answer["send"] = int(client.call("Email_SignatureAndEncript")[0])
    answer["sent"] = [list(client.call("get_AttachFile", f)) for f in request["attach"]]
    answer["folded"] = [list(client.call("AttachFiles", f.upper())) for f in request["attach"]]
    answer["result"] = list(client.call("get_Email_Result", dbus.Int32(-1)))


def receive_message(client, request, answer):
    # The message arrives: its attachments under the inbox, and a plain one.
    check(client.call("ResetAttach") == (0,) and client.call("ResetResipients") == (0,), "resets")
    received = []
    for (hr, sent), target in zip(answer["sent"], request["inbox"]):
        os.rename(sent, target)
        received.append(target)
    received.append(request["plain"])
    for file in received:
        check(client.call("put_AttachFile", file) == (0,), "put_AttachFile " + file)
    check(client.call("put_Email_Soting", dbus.Int32(0)) == (0,), "put_Email_Soting")
    check(client.call("put_Email_Izvlechenie", dbus.Int32(1)) == (0,), "put_Email_Izvlechenie")
    answer["unpack"] = int(client.call("UnEncriptEmail")[0])
    answer["extracted"] = [list(client.call("get_AttachFile", f)) for f in received]
    answer["errors"] = [list(client.call("get_GetDataFromDll", "get_error_unpack", f, "<unwritten>"))
                        for f in received]
    answer["protocol"] = list(client.call("get_GetDataFromDll", "get_protocol", "", "<unwritten>"))


def mail_case(receive):
    """An outgoing message (and its reception) as a mail client does them,
    on the files and recipients of SCRATCH/request.json; every answer goes
    to SCRATCH/answer.json for the test program to check."""
    import json
    with open(os.path.join(SCRATCH, "request.json"), encoding="utf-8") as f:
        request = json.load(f)
    answer = {}
    client = DSUtilClient()
    client.create()
    send_message(client, request, answer)
    if receive:
        receive_message(client, request, answer)
    with open(os.path.join(SCRATCH, "answer.json"), "w", encoding="utf-8") as f:
        json.dump(answer, f, ensure_ascii=False)


def case_mail_round():
    mail_case(True)


def case_mail_send():
    mail_case(False)


def case_one_sender():
    """One of case_two_clients' clients (DSUTIL_CLIENT: its index)."""
    import json
    index = int(os.environ["DSUTIL_CLIENT"])
    with open(os.path.join(SCRATCH, "request.json"), encoding="utf-8") as f:
        request = json.load(f)["clients"][index]
    client = DSUtilClient()
    client.create()
    check(client.call("put_AttachFile", request["attach"]) == (0,), "put_AttachFile")
    check(client.call("AddResipients", "one@example.org", request["cert"]) == (0,), "AddResipients")
    check(client.call("put_Email_Encript", dbus.Int32(1)) == (0,), "put_Email_Encript")
    check(client.call("put_Email_Signature", dbus.Int32(0)) == (0,), "put_Email_Signature")
    answer = {"start": time.monotonic()}
    answer["send"] = int(client.call("Email_SignatureAndEncript")[0])
    answer["end"] = time.monotonic()
    answer["sent"] = list(client.call("get_AttachFile", request["attach"]))
    answer["other"] = list(client.call("get_AttachFile", request["other"]))
    with open(os.path.join(SCRATCH, "answer-%d.json" % index), "w", encoding="utf-8") as f:
        json.dump(answer, f, ensure_ascii=False)


def case_two_clients():
    """Two mail clients send at once, each on its own connection and
    object; each question of the service takes a second (the script's
    delay), so operations run one after the other end a second apart."""
    import json
    children = []
    for index in (0, 1):
        env = dict(os.environ, DSUTIL_CLIENT=str(index))
        children.append(subprocess.Popen([sys.executable, os.path.abspath(__file__), "one_sender", XML_DIR, SCRATCH],
                                         env=env, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True))
    for child in children:
        out, _ = child.communicate(timeout=120)
        check(child.returncode == 0, "a client: " + out)
    answers = []
    for index in (0, 1):
        with open(os.path.join(SCRATCH, "answer-%d.json" % index), encoding="utf-8") as f:
            answers.append(json.load(f))
    with open(os.path.join(SCRATCH, "request.json"), encoding="utf-8") as f:
        request = json.load(f)["clients"]
    for a, r in zip(answers, request):
        check(a["send"] == 0, "a client's send answered %r" % a["send"])
        check(a["sent"] == [0, r["attach"] + ".enc"], "a client's attachment: %r" % a["sent"])
        # The other client's file is not in this one's list.
        check(a["other"][0] == 1, "the other client's attachment is in this list: %r" % a["other"])
    # Both ran at once from the clients' side ...
    check(max(a["start"] for a in answers) < min(a["end"] for a in answers), "the clients did not overlap")
    # ... and one after the other in the service.
    first, second = sorted(a["end"] for a in answers)
    check(second - first >= 0.9, "the operations ended %.2f s apart" % (second - first))


CASES = {name[5:]: fn for name, fn in globals().items() if name.startswith("case_")}

if __name__ == "__main__":
    try:
        CASES[CASE]()
    except Failed as e:
        print("FAILED: %s" % e)
        sys.exit(1)
    print("ok")
