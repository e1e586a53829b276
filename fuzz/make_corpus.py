#!/usr/bin/env python3
"""Writes the fuzz target's seed corpus: a few host session scripts in the byte language SessionScript.cpp reads.

Each seed is a plausible session (open, announce pins, process), plus a few that try the host's quirks, so that
the fuzzer starts from inputs that reach every routine. Run from anywhere; writes fuzz/corpus/*.bin.
"""
import os
import struct

# pins of the module
AUDIO, ACTIVE, FEEDBACK, DAMPING, ROUTING, OUT, ACCURACY, TIME_MODE, TIME, VOLUME, MAX_DELAY, VOLUME_MODE, MONO, GATE = range(14)
# Value() selectors: index into the script's table of values
V = {0.0: 0, 1.0: 1, -1.0: 2, 0.5: 3, 0.1: 4, 10.0: 5, 0.999: 6, 1e-40: 7, 1e30: 8, -1e30: 9, 3e9: 10, -2.5: 11,
     1e-5: 12, 100.0: 13, 0.25: 14, 2.0: 15}
NAN, INF = 160, 176
RATES = {44100: 0, 48000: 1, 48001: 2, 96000: 3, 192001: 4, 384000: 5, 8000: 6, 0: 7}
OP_OPEN, OP_RESUME, OP_HOST_MESSAGE, OP_GET_ROUTINE_INFO = 0, 8, 12, 13


class Script:
    def __init__(self, ftz=False):
        self.b = bytearray([1 if ftz else 0])

    def op(self, slot, action):
        self.b.append((slot << 5) | action)

    def make(self, slot=0, rate=48000, block=64, pins=None, opened=True):
        self.op(slot, 0)
        self.b += bytes([RATES[rate]]) + struct.pack('<H', block - 1)
        self.b.append(255 if pins is None else 200 + (pins - 200 % 24) % 24)
        self.b.append(0 if opened else 240)
        self.b.append(255)  # start clock 0

    def process(self, slot=0, count=64):
        self.op(slot, 1)
        self.b.append(count - 1)

    def block(self, slot=0):
        self.op(slot, 24)

    def fail_allocations(self, count):
        self.op(0, 23)
        self.b.append(count)

    def dispatch(self, slot, opcode, index=0, value=0, opt=0.0):
        self.op(slot, 3)
        self.b += bytes([opcode + 1, index + 3, value, V[opt]])
        if opcode == 1:
            self.b.append(200)  # a close stays a close

    def status(self, slot, pin, status, offset=0):
        self.op(slot, 5)
        self.b += bytes([pin, offset, status])

    def choice(self, slot, pin, value, offset=0, status=1):
        self.op(slot, 6)
        self.b += bytes([pin, offset, value + 1, status])

    def value(self, slot, pin, value, offset=0):
        self.op(slot, 7)
        self.b += bytes([pin, offset, value if value in (NAN, INF) else V[value]])

    def event(self, slot, kind, value=0, offset=0, pin=0):
        self.op(slot, 8)
        # kind: below 100 a pin status, below 150 data, below 200 a call (no pin follows)
        self.b += bytes([pin, offset, kind, value]) + struct.pack('<i', 0x12345)
        if kind < 150:
            self.b.append(pin + 2)

    def fill(self, slot, pin, start, length, a, b):
        self.op(slot, 9)
        self.b += bytes([pin, 0, start, length, V[a], V[b]])

    def raw_event(self, slot, pin, status, wrong_clock=True):
        self.op(slot, 10)
        self.b += bytes([pin, 0, 200 if wrong_clock else 0])
        if wrong_clock:
            self.b += struct.pack('<i', 777)
        self.b += bytes([0, status]) + struct.pack('<i', 0) + bytes([pin + 2])

    def direct(self, slot, start, count):
        self.op(slot, 16)
        self.b += bytes([start, count - 1])

    def close(self, slot):
        self.op(slot, 20)

    def gui(self):
        self.op(0, 21)
        self.b += bytes([5, 1, 0, 0, 0, 0, 0, 0, 0, 0, 3, 0, 0, 0, 0, 0, 0, 0, 0, 0, 12, 0, 0, 0, 0, 0, 0, 0, 0, 0])

    def exports(self, index, kind):
        self.op(0, 22)
        self.b += bytes([1, index + 1, kind])

    def setup(self, slot, routing=1, accuracy=0, time_mode=1, time=10.0, volume=1.0, feedback=0.5, damping=0.25,
              max_delay=8):
        for pin, v in ((ROUTING, routing), (ACCURACY, accuracy), (TIME_MODE, time_mode), (MAX_DELAY, max_delay)):
            self.choice(slot, pin, v)
        for pin, v in ((TIME, time), (VOLUME, volume), (FEEDBACK, feedback), (DAMPING, damping)):
            self.value(slot, pin, v)
        self.choice(slot, ACTIVE, 1)


def seeds():
    s = Script()
    s.make(block=64)
    s.setup(0, routing=1, accuracy=0, time_mode=2, time=0.5)
    s.fill(0, AUDIO, 0, 63, 1.0, 0.0)
    for _ in range(6):
        s.process()
    yield 'sample_feedback', s

    s = Script(ftz=True)
    s.make(block=128, rate=96000)
    s.setup(0, routing=3, accuracy=2, time_mode=2, time=0.25, feedback=-1.0, damping=0.999)
    s.status(0, TIME, 2)
    s.fill(0, TIME, 0, 127, 0.25, 0.5)
    s.fill(0, AUDIO, 0, 127, 0.5, -1.0)
    for _ in range(4):
        s.block()
    s.choice(0, ACCURACY, 1)
    s.block()
    yield 'fraction_streaming_time', s

    s = Script()
    s.make(block=32)
    s.setup(0, routing=0, time_mode=2, time=0.1)
    s.choice(0, MONO, 1)
    s.fill(0, AUDIO, 0, 31, 1.0, 1.0)
    s.block()
    s.dispatch(0, OP_RESUME, index=1)
    s.value(0, GATE, 1.0, offset=5)
    s.value(0, GATE, 0.5, offset=9)
    s.block()
    s.choice(0, MONO, 0)
    s.value(0, GATE, 1.0, offset=3)
    s.block()
    yield 'poly_reset', s

    s = Script()
    s.make(block=256, rate=384000)
    s.setup(0, routing=2, accuracy=1, time_mode=0, time=0.1, max_delay=0)
    s.block()
    s.choice(0, ACTIVE, 0, offset=17)
    for _ in range(3):
        s.block()
    s.choice(0, MAX_DELAY, 11)
    s.choice(0, ACTIVE, 1)
    s.block()
    s.choice(0, MAX_DELAY, 5, offset=100)
    s.block()
    yield 'switch_and_max_delay', s

    s = Script()
    s.make(block=64)
    s.fail_allocations(1)
    s.setup(0, routing=1, time_mode=2, time=0.5)
    s.block()
    s.choice(0, ACTIVE, 1)
    s.block()
    s.fail_allocations(1)
    s.choice(0, MAX_DELAY, 10, offset=7)
    s.block()
    s.choice(0, MAX_DELAY, 10)
    s.choice(0, ACTIVE, 1, offset=3)
    s.block()
    yield 'allocation_failure', s

    s = Script()
    s.make(block=16, pins=13)
    s.choice(0, ACTIVE, 1)
    s.block()
    s.make(slot=1, block=16, opened=False)
    s.choice(1, ACTIVE, 1)
    s.status(1, 15, 2)
    s.block(1)
    s.dispatch(1, OP_OPEN)
    s.dispatch(1, OP_OPEN)
    s.setup(1, routing=7, accuracy=9, time_mode=5, time=NAN, volume=1e30, feedback=INF, damping=-2.5, max_delay=13)
    s.event(1, 175)  # EV_CALL
    s.event(1, 100, pin=14)
    s.raw_event(1, 8, 2)
    s.block(1)
    s.direct(1, 3, 5)
    s.dispatch(1, OP_GET_ROUTINE_INFO)
    s.dispatch(1, OP_HOST_MESSAGE, index=2, value=7)
    s.gui()
    s.exports(0, 1)
    s.exports(-1, 2)
    s.close(0)
    s.block(1)
    yield 'host_quirks', s

    s = Script()
    for slot, rate in ((0, 44100), (1, 192001), (2, 8000)):
        s.make(slot=slot, rate=rate, block=100)
        s.setup(slot, routing=slot, accuracy=slot, time=1.0, feedback=0.999, damping=0.0)
    for _ in range(3):
        for slot in range(3):
            s.fill(slot, AUDIO, 0, 99, 1e-40, 0.5)
            s.process(slot, 1 + 37 * slot)
    yield 'three_objects', s


if __name__ == '__main__':
    folder = os.path.join(os.path.dirname(os.path.abspath(__file__)), 'corpus')
    os.makedirs(folder, exist_ok=True)
    for name, script in seeds():
        with open(os.path.join(folder, name + '.bin'), 'wb') as f:
            f.write(bytes(script.b))
