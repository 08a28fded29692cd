#!/usr/bin/python3
"""Anonymous, read-only FTP server for the tests.

Usage: ftp_server.py ROOT_DIR [OPTION...]
Listens on 127.0.0.1 and a free port, prints that port on the first line of
stdout, then serves until it is terminated. Active mode (PORT) works towards
any port of the client's own address; passive mode is left as pyftpdlib has it.

Options make it misbehave the way real servers do:
  --user=NAME:PASSWORD  only this user logs in (no anonymous)
  --no-epsv             EPSV refused (502)
  --no-passive          EPSV and PASV refused
  --no-active           PORT and EPRT refused
  --refuse-rest         REST refused: every transfer starts at byte 0
  --ignore-abor         ABOR answered but the transfer goes on
  --throttle=BYTES      each data connection sends BYTES per second at most
  --active-from=ADDRESS active data connections come from ADDRESS (another
                        loopback address than the control connection's)
  --log=FILE            append one line per download to FILE when its data
                        connection closes, complete or cut short (ABOR, client
                        gone): RETR PATH completed=0|1 SECONDS BYTES, BYTES being
                        the file bytes sent on that data connection
"""
import logging
import sys

from pyftpdlib.authorizers import DummyAuthorizer
from pyftpdlib.handlers import ActiveDTP, FTPHandler, ThrottledDTPHandler
from pyftpdlib.servers import FTPServer


def main():
    if len(sys.argv) < 2:
        sys.stderr.write("usage: ftp_server.py ROOT_DIR [OPTION...]\n")
        return 2
    logging.basicConfig(level=logging.WARNING, stream=sys.stderr)
    options = dict(a[2:].partition("=")[::2] for a in sys.argv[2:])

    authorizer = DummyAuthorizer()
    # "elr": change folder, list, retrieve. Nothing can be written.
    if "user" in options:
        name, _, password = options["user"].partition(":")
        authorizer.add_user(name, password, sys.argv[1], perm="elr")
    else:
        authorizer.add_anonymous(sys.argv[1], perm="elr")

    def refuse(self, line):
        self.respond("502 Command not implemented.")

    class Handler(FTPHandler):
        if "no-epsv" in options or "no-passive" in options:
            ftp_EPSV = refuse
        if "no-passive" in options:
            ftp_PASV = refuse
        if "no-active" in options:
            ftp_PORT = ftp_EPRT = refuse
        if "refuse-rest" in options:
            ftp_REST = refuse
        if "ignore-abor" in options:
            def ftp_ABOR(self, line):
                self.respond("225 No transfer to abort.")
        if "log" in options:
            # pyftpdlib calls this from the data channel's close(), which every
            # end of a transfer goes through: done, ABOR, the client closing
            # the data or the control connection, a timeout, an error.
            transfer_log = open(options["log"], "a", buffering=1)

            def log_transfer(self, cmd, filename, receive, completed, elapsed, bytes):
                if not receive:
                    self.transfer_log.write("%s %s completed=%d %.3f %d\n"
                                            % (cmd, filename, completed, elapsed, bytes))

    if "throttle" in options:
        ThrottledDTPHandler.read_limit = ThrottledDTPHandler.write_limit = int(options["throttle"])
        Handler.dtp_handler = ThrottledDTPHandler

    if "active-from" in options:
        class ForeignActiveDTP(ActiveDTP):
            def connect_af_unspecified(self, addr, source_address=None):
                return ActiveDTP.connect_af_unspecified(self, addr, (options["active-from"], 0))
        Handler.active_dtp = ForeignActiveDTP

    Handler.authorizer = authorizer
    Handler.banner = "pyftpdlib ready."
    # The client connects its data sockets from ephemeral ports on 127.0.0.1;
    # let PORT name any of them.
    Handler.permit_privileged_ports = True
    Handler.permit_foreign_addresses = True

    server = FTPServer(("127.0.0.1", 0), Handler)
    port = server.socket.getsockname()[1]
    sys.stdout.write("%d\n" % port)
    sys.stdout.flush()
    server.serve_forever(handle_exit=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
