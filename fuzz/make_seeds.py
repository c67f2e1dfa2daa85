#!/usr/bin/env python3
"""Writes the seed corpora of the fuzzers: a few inputs per kind of run, in the input formats
described at the top of each fuzzer. Rerun after changing a format; the files are committed."""
import os
import struct

HERE = os.path.dirname(os.path.abspath(__file__))

PUBLISH, ROUND, CLOSE, ABORT, RAW, SET_WRITE, SET_READ, FAILURE, CLOSE_ALL, CLOCK = range(10)
TOP = 2**64 - 1


def config(streams, slots, frames, channels, rate=48000, declared=False, start=0, span=0,
           idle=20, before=0):
    return struct.pack('<BBHBIBQHBB', streams - 1, slots - 1, frames - 1, channels - 1, rate,
                       1 if declared else 0, start * 2, span, idle - 1, before)


def publish(stream, frames, tweak=0, arg=0):
    return struct.pack('<BBHBQ', PUBLISH, stream, frames - 1, tweak, arg)


def raw(offset, data):
    return struct.pack('<BBI', RAW, len(data) - 1, offset) + data


def op(code, *fields):
    formats = {CLOSE: '<BB', ABORT: '<BB', SET_WRITE: '<BBQ', SET_READ: '<BBQ', FAILURE: '<BI',
               CLOCK: '<BH', ROUND: '<B', CLOSE_ALL: '<B'}
    return struct.pack(formats[code], code, *fields)


CAPTURE = {
    'honest-two-streams': config(2, 2, 64, 2) + op(ROUND) * 6 + op(CLOSE_ALL),
    'declared-range': config(1, 4, 16, 1, declared=True, span=64) + op(ROUND) * 4 + op(CLOSE_ALL),
    'range-short': config(1, 4, 16, 1, declared=True, span=64) + op(ROUND) * 3 + op(CLOSE_ALL),
    'gap': config(1, 2, 32, 2) + publish(0, 32) + publish(0, 32, 5, 1),
    'behind': config(1, 2, 32, 2) + publish(0, 32) + publish(0, 32, 6, TOP),
    'frame-count-absurd': config(2, 2, 128, 2) + publish(1, 8, 2, 0xFFFFFFFF),
    'wrong-stream': config(3, 1, 8, 1) + publish(2, 8, 1, 0),
    'abort': config(2, 3, 256, 2) + op(ROUND) + op(ABORT, 1),
    'producer-failure': config(1, 1, 2048, 2) + op(ROUND) + op(FAILURE, 2),
    'header-rewrite': config(2, 2, 64, 2) + raw(8, b'\x80\0\0\0') + raw(12, b'\x40\0\0\0')
                      + op(ROUND) * 3 + op(CLOSE_ALL),
    'write-index-top': config(1, 4, 64, 1) + op(SET_WRITE, 0, TOP),
    'ring-position-wraps': config(1, 4, 64, 2, before=2) + op(SET_READ, 0, TOP)
                           + op(SET_WRITE, 0, TOP) + publish(0, 64) + op(CLOSE_ALL),
    'stalled': config(4, 4, 2048, 2, idle=64) + op(CLOCK, 1000),
}

COMMAND_LINE = {
    'capability': b'--transport-capacity',
    'two-words': b'region\0out',
    'all-five': b'region\0out dir\0 12\0-1\x007',
    'idle-zero': b'r\0o\0\0x\0' + b'0',
    'open-zero': b'r\0o\x0099\x00100\0+0',
    'overflow': b'r\0o\x00+4294967296\0\t\n 00042abc\x00-99999999999',
    'six-words': b'a\0b\0c\0d\0e\0f',
}

SHEET = (b'{\n  "schemaVersion": 1,\n  "state": "complete",\n  "client": "rec",\n'
         b'  "mapping": "take-1",\n  "sampleRate": 48000,\n  "framesPerChunk": 256,\n'
         b'  "channels": 2,\n  "startTime": "2024-02-29T23:59:59.999Z",\n'
         b'  "framesPerStream": 480000,\n  "verdict": "completed",\n  "streams": [\n'
         b'    {"file": "stream-0.wav", "ports": ["synth:out_l", "synth:out_r"], '
         b'"inputs": ["rec:in_0_l", "rec:in_0_r"]},\n'
         b'    {"file": "stream-1.wav", "ports": ["odd:\\"q\\"\\ufffd\\ud83c\\udfb5", null], '
         b'"inputs": ["rec:in_1_l", "rec:in_1_r"]}\n  ]\n}\n')

TAKE_SHEET = {
    'complete-stereo': SHEET,
    'waiting': (b'{"schemaVersion":1,"state":"waiting","client":"c","mapping":"m","sampleRate":44100,'
                b'"framesPerChunk":2048,"channels":1,"startTime":null,"framesPerStream":null,'
                b'"verdict":null,"streams":[{"inputs":["c:in_0"],"ports":["a:\\u00e9\\t"],'
                b'"file":"stream-7.wav"}]}'),
    'no-streams': SHEET.split(b'"streams"')[0] + b'"streams": []}',
}


def write(folder, seeds):
    path = os.path.join(HERE, 'corpus', folder)
    os.makedirs(path, exist_ok=True)
    for name, data in seeds.items():
        with open(os.path.join(path, name), 'wb') as out:
            out.write(data)


write('capture', CAPTURE)
write('command_line', COMMAND_LINE)
write('take_sheet', TAKE_SHEET)
