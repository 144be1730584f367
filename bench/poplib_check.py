#!/usr/bin/python3
"""The mail check's sequence with Python's poplib, for the benchmark.

Usage: poplib_check.py [--tls CAFILE] HOST PORT USER PASSWORD
Connects, USER, PASS, STAT, LIST, TOP i 0 for every message, QUIT, and prints
one line: messages=N lines=L bytes=B wall=SECONDS cpu=SECONDS rss=KIB, where lines and
bytes count the header lines delivered (after dot-unstuffing, without line
ends), wall is the session's elapsed time and cpu this process's CPU time
(user + system, CLOCK_PROCESS_CPUTIME_ID) during the session; rss is the
process's peak resident set (VmHWM), which unlike the parent's wait4 figure
does not include what the parent had resident before exec. With --tls it uses
poplib.POP3_SSL with a verifying context (the system store plus CAFILE, the
host name or address checked).
"""
import poplib
import ssl
import sys
import time


def main():
    args = sys.argv[1:]
    cafile = None
    if args[0] == "--tls":
        cafile = args[1]
        args = args[2:]
    host, port, user, password = args[:4]
    cpu0 = time.process_time()
    wall0 = time.perf_counter()
    if cafile:
        # Inside the session, as our client sets up its TLS context there.
        context = ssl.create_default_context(cafile=cafile)
        pop = poplib.POP3_SSL(host, int(port), timeout=30, context=context)
    else:
        pop = poplib.POP3(host, int(port), timeout=30)
    pop.user(user)
    pop.pass_(password)
    count, _size = pop.stat()
    pop.list()
    lines = octets = 0
    for number in range(1, count + 1):
        _resp, header, _octets = pop.top(number, 0)
        lines += len(header)
        octets += sum(len(line) for line in header)
    pop.quit()
    wall = time.perf_counter() - wall0
    cpu = time.process_time() - cpu0
    with open("/proc/self/status") as status:
        rss = next(line.split()[1] for line in status if line.startswith("VmHWM:"))
    print(f"messages={count} lines={lines} bytes={octets} wall={wall:.6f} cpu={cpu:.6f} rss={rss}")


if __name__ == "__main__":
    main()
