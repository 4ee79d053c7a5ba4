#!/usr/bin/python3
"""A pyftpdlib server for the integration tests.

usage: pyftpd.py USER PASSWORD ROOT PORT PASV_MIN PASV_MAX

One account with every permission (chmod included) on ROOT, listening on
127.0.0.1:PORT. File names are kept byte for byte (not only UTF-8).
"""
import sys

from pyftpdlib.authorizers import DummyAuthorizer
from pyftpdlib.handlers import FTPHandler
from pyftpdlib.servers import FTPServer


def main():
    user, password, root, port, pmin, pmax = sys.argv[1:7]
    auth = DummyAuthorizer()
    auth.add_user(user, password, root, perm="elradfmwMT")
    handler = FTPHandler
    handler.authorizer = auth
    handler.passive_ports = range(int(pmin), int(pmax) + 1)
    handler.permit_foreign_addresses = False
    handler.unicode_errors = "surrogateescape"
    handler.banner = "pyftpdlib ready"
    handler.auth_failed_timeout = 0
    import logging
    logging.basicConfig(level=logging.ERROR)
    server = FTPServer(("127.0.0.1", int(port)), handler)
    server.serve_forever()


if __name__ == "__main__":
    main()
