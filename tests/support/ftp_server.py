#!/usr/bin/python3
"""Anonymous, read-only FTP server for the tests.

Usage: ftp_server.py ROOT_DIR
Listens on 127.0.0.1 and a free port, prints that port on the first line of
stdout, then serves until it is terminated. Active mode (PORT) works towards
any port of the client's own address; passive mode is left as pyftpdlib has it.
"""
import logging
import sys

from pyftpdlib.authorizers import DummyAuthorizer
from pyftpdlib.handlers import FTPHandler
from pyftpdlib.servers import FTPServer


def main():
    if len(sys.argv) != 2:
        sys.stderr.write("usage: ftp_server.py ROOT_DIR\n")
        return 2
    logging.basicConfig(level=logging.WARNING, stream=sys.stderr)

    authorizer = DummyAuthorizer()
    # "elr": change folder, list, retrieve. Nothing can be written.
    authorizer.add_anonymous(sys.argv[1], perm="elr")

    class Handler(FTPHandler):
        pass

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
