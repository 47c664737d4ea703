#!/usr/bin/env python3
"""Runs one tessaly check through libtessaly.so with ctypes.

Usage: example.py [LIBRARY] [PARAMETER] [TIMEOUT]
Prints the result text; exits 0 when the check is up, 2 when it is down.
Without arguments it sends to a closed local port, so it prints a down
result and reaches no network.
"""
import ctypes
import sys

lib_path = sys.argv[1] if len(sys.argv) > 1 else "libtessaly.so.0"
parameter = (sys.argv[2] if len(sys.argv) > 2 else
             "#OMODE=SMTP#SSRV=127.0.0.1#SPORT=1#"
             "SFROM=alice@tessaly.test#STO=bob@tessaly.test#")
timeout = sys.argv[3] if len(sys.argv) > 3 else "1"

lib = ctypes.CDLL(lib_path)
lib.tessaly_check_new.restype = ctypes.c_void_p
lib.tessaly_check_free.argtypes = [ctypes.c_void_p]
lib.tessaly_check_set.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_char_p]
lib.tessaly_check_set.restype = ctypes.c_int
lib.tessaly_check_get.argtypes = [ctypes.c_void_p, ctypes.c_char_p]
lib.tessaly_check_get.restype = ctypes.c_char_p
lib.tessaly_check_run.argtypes = [ctypes.c_void_p]
lib.tessaly_check_run.restype = ctypes.c_int

check = lib.tessaly_check_new()
if not check:
    sys.exit(3)
try:
    lib.tessaly_check_set(check, b"vg_parameter", parameter.encode())
    lib.tessaly_check_set(check, b"vg_timeout", timeout.encode())
    up = lib.tessaly_check_run(check)
    print(lib.tessaly_check_get(check, b"vg_result").decode(errors="replace"))
    # The run may rewrite the parameter string (the next phase to run).
    parameter = lib.tessaly_check_get(check, b"vg_parameter").decode()
finally:
    lib.tessaly_check_free(check)
sys.exit(0 if up == 1 else 2)
