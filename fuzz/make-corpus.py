#!/usr/bin/env python3
"""Writes the seed corpora in corpus/<target>/: a few small valid inputs
for each fuzz target. Run it again after changing the input layouts."""
import os
import struct

HERE = os.path.dirname(os.path.abspath(__file__))
INTERFACE_NAME_QUERY = 0x5F4E5446


def i32(value):
    return struct.pack('<i', value)


def s16(text):
    units = text.encode('utf-16-le')
    data = i32(len(units) // 2) + units + b'\0\0'
    return data + b'\0' * (-len(data) % 4)


def frame(word, arg, payload=b'', target=0):
    return struct.pack('<IiII', len(payload), word, arg, target) + payload


def parcel_input(reads, data):
    # byte 0: the number of reads; then one byte per read; then the data.
    return bytes([len(reads)] + reads) + data


INT32, STRING, STRING_RETURNED, BINDER = 0, 1, 2, 3
LOOKUP, LIST, REGISTER = 1, 2, 3
# The service manager's protocol version, in every request's target.
VERSION = 1

SEEDS = {
    'parcel_fuzzer': {
        'int32': parcel_input([INT32], i32(7)),
        'strings': parcel_input([STRING, STRING_RETURNED], s16('x') + i32(-1)),
        'binder': parcel_input([BINDER, INT32], i32(0) + i32(0) + i32(-5)),
        'call': parcel_input([STRING, INT32, STRING_RETURNED, BINDER],
                             s16('quellix.demo.IAdder') + i32(2) + s16('hi') + i32(0) + i32(0)),
        'truncated': parcel_input([STRING, INT32], i32(3) + b'a\0'),
    },
    # byte 0: the chunk-size seed; then the byte stream.
    'manager_request_fuzzer': {
        'lookup': bytes([0]) + frame(LOOKUP, 0, s16('demo.echo'), VERSION),
        'list': bytes([5]) + frame(LIST, 0, i32(-1), VERSION) + frame(LIST, 0, s16('demo.adder'), VERSION),
        'fresh': bytes([2]) + frame(LOOKUP, 1, s16('demo.echo'), VERSION),
        'register': bytes([1]) + frame(REGISTER, 2, s16('a'), VERSION) + frame(LIST, 0, i32(-1), VERSION),
        'names': bytes([9]) + frame(LOOKUP, 0, i32(2) + s16('demo.adder') + s16('x'), VERSION),
    },
    'transaction_fuzzer': {
        'adder': bytes([0]) + frame(1, 0, s16('quellix.demo.IAdder') + i32(2) + i32(3)),
        'greeter': bytes([3]) + frame(1, 0, s16('quellix.demo.IGreeter') + s16('World')),
        'query': bytes([7]) + frame(INTERFACE_NAME_QUERY, 0) + frame(2, 1, i32(42), 3),
    },
}

for target, seeds in SEEDS.items():
    directory = os.path.join(HERE, 'corpus', target)
    os.makedirs(directory, exist_ok=True)
    for name, data in seeds.items():
        with open(os.path.join(directory, name), 'wb') as f:
            f.write(data)
