# SPDX-License-Identifier: MIT
"""A D-Bus daemon of the test's own: its socket in a folder of the test's
own, so that two runs never meet and the user's own buses are never touched,
and a policy that lets every client own, call and watch anything, as the
stand-in services and the AT-SPI registry need. dbus-daemon runs it as a
session bus whatever it stands in for: a system bus's own habits (raising
its descriptor limit, the system log) need root."""
import subprocess

BUS_CONFIGURATION = """<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>session</type>
  <listen>unix:path={socket}</listen>
  <auth>EXTERNAL</auth>
  <policy context="default">
    <allow user="*"/>
    <allow own="*"/>
    <allow send_destination="*" eavesdrop="true"/>
    <allow receive_sender="*"/>
    <allow eavesdrop="true"/>
  </policy>
</busconfig>
"""


def start_private_bus(socket, log=None):
    """Starts a bus listening at the path `socket`, in a process group of its
    own, and returns the process and its address once it accepts clients.
    Its configuration is written beside the socket; its complaints go to
    `log`. The address is empty when the bus did not start."""
    configuration = socket + ".conf"
    with open(configuration, "w") as text:
        text.write(BUS_CONFIGURATION.format(socket=socket))
    daemon = subprocess.Popen(["dbus-daemon", "--config-file=" + configuration, "--nofork", "--nopidfile",
                               "--print-address"], stdout=subprocess.PIPE, stderr=log, start_new_session=True,
                              text=True)
    # It prints its address once it accepts clients.
    return daemon, daemon.stdout.readline().strip()
