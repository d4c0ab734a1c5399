"""Prints the golden message bytes, as written by pymongo, in hex.

Run once; the output is pasted into tests/cpp/protocol_message_test.cpp.
pymongo writes a Python int as int32 when it fits, so Int64 marks every
field that travels as int64.
"""
import bson
from bson import Int64

MESSAGES = {
    "quit": {"jsonrpc": "2.0", "method": "quit"},
    "request_id_0": {"jsonrpc": "2.0", "id": Int64(0), "method": "version", "params": {}},
    "error_response": {
        "jsonrpc": "2.0",
        "id": Int64(3),
        "error": {"code": Int64(-32012), "message": "x"},
    },
    "init_defaults": {"jsonrpc": "2.0", "id": Int64(1), "method": "init", "params": {}},
    "init_every_field": {
        "jsonrpc": "2.0",
        "id": Int64(2),
        "method": "init",
        "params": {
            "image": {
                "type": "recipe",
                "recipe": {
                    "v": Int64(1),
                    "base": "b",
                    "steps": [
                        {"run": "echo hi"},
                        {"copy": {"src": "/a", "dst": "/b"}},
                        {"env": {"key": "K", "value": "V"}},
                        {"workdir": "/w"},
                    ],
                },
            },
            "snapshot": [0, 1, 255],
            "network": False,
            "ports": ["8080:80"],
            "vcpus": 2,
            "memory_mib": Int64(512),
            "gpu": True,
            "gpu_memory_mib": Int64(256),
            "disk_gib": Int64(10),
            "mounts": ["file:///a:/b:ro"],
        },
    },
}

for name, doc in MESSAGES.items():
    print(f"{name} {bson.encode(doc).hex()}")
