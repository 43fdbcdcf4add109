"""A mail client of dsutils-service over dbus-python (libdbus): nothing of
ours on the client side. Each DSUtilClient is one connection of its own to
the session bus, holding one DSUtil object, as a mail client does."""

import os
import xml.etree.ElementTree as ET

import dbus

SERVICE = "DSUtils.DSUtil"
FACTORY = "/DSUtil"
IFACE = "DSUtils.IDSUtil"
# A member may wait while a person answers its dialogs.
NO_TIMEOUT = 24 * 3600.0


class DSUtilClient:
    def __init__(self, address=None):
        address = address or os.environ["DBUS_SESSION_BUS_ADDRESS"]
        self.bus = dbus.bus.BusConnection(address)
        self.path = None

    def create(self):
        factory = self.bus.get_object(SERVICE, FACTORY)
        self.path = str(factory.Create(dbus_interface="DSUtils.Factory", timeout=NO_TIMEOUT))
        return self.path

    def call(self, member, *args, path=None):
        """The member's answer: a tuple, the HResult first."""
        obj = self.bus.get_object(SERVICE, path or self.path, introspect=False)
        answer = obj.get_dbus_method(member, IFACE)(*args, timeout=NO_TIMEOUT)
        if not isinstance(answer, tuple):
            answer = (answer,)
        return tuple(answer)

    def send(self, member, signature, *args, path=None):
        """Sends a call without waiting for its answer (an operation that
        keeps going while the caller does something else)."""
        msg = dbus.lowlevel.MethodCallMessage(SERVICE, path or self.path, IFACE, member)
        msg.append(signature=signature, *args)
        self.bus.send_message(msg)

    def close(self):
        self.bus.close()


def members(xml_file):
    """(name, in-signature list, out-signature list) for every method of
    DSUtils.IDSUtil in the repository's interface."""
    root = ET.parse(xml_file).getroot()
    out = []
    for iface in root.iter("interface"):
        if iface.get("name") != IFACE:
            continue
        for m in iface.iter("method"):
            ins = [a.get("type") for a in m.iter("arg") if a.get("direction", "in") == "in"]
            outs = [a.get("type") for a in m.iter("arg") if a.get("direction") == "out"]
            out.append((m.get("name"), ins, outs))
    return out


def valid_argument(signature, text):
    if signature == "s":
        return dbus.String(text)
    if signature == "i":
        return dbus.Int32(0)
    if signature == "(iss)":
        return dbus.Struct((dbus.Int32(0), dbus.String(""), dbus.String("")), signature="iss")
    raise ValueError("no valid value for " + signature)
