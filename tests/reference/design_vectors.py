#!/usr/bin/env python3
"""Works out band coefficients with Python's own double arithmetic and the C
library's cos, sin, pow and sqrt, rounding to float at the same points as the
design. Prints rows for the exact-bits table of tests/design_test.cpp."""
import math
import struct


def f(x):
    """Round a double to the nearest float (ties to even), as a double."""
    return struct.unpack('<f', struct.pack('<f', x))[0]


def bits(x):
    return '0x%08x' % struct.unpack('<I', struct.pack('<f', x))[0]


def design(shape, freq, q, gain, rate):
    w0 = f(freq * 6.2831854820251465 / rate)
    c = f(math.cos(w0))
    s = f(math.sin(w0))
    alpha = f(s / (2.0 * q))
    if shape == 'lowpass':
        b1 = f(1.0 - c); b0 = f(b1 * 0.5); b2 = b0
        a0 = f(1.0 + alpha); a1 = f(-2.0 * c); a2 = f(1.0 - alpha)
    elif shape == 'highpass':
        b0 = f((1.0 + c) * 0.5); b1 = f(-1.0 - c); b2 = b0
        a0 = f(1.0 + alpha); a1 = f(-2.0 * c); a2 = f(1.0 - alpha)
    else:
        A = f(math.pow(10.0, f(gain / 40.0)))
        if shape == 'peaking':
            b0 = f(1.0 + alpha * A); b1 = f(-2.0 * c); b2 = f(1.0 - alpha * A)
            a0 = f(1.0 + alpha / A); a1 = b1; a2 = f(1.0 - alpha / A)
        else:
            sA = f(math.sqrt(A))
            beta = f(2.0 * alpha * sA)
            P = A + 1.0
            M = A - 1.0
            if shape == 'lowshelf':
                b0 = f(A * ((P - M * c) + beta)); b1 = f((M - P * c) * (2.0 * A))
                b2 = f(A * ((P - M * c) - beta)); a0 = f((P + M * c) + beta)
                a1 = f((M + P * c) * -2.0); a2 = f((P + M * c) - beta)
            else:
                b0 = f(A * ((P + M * c) + beta)); b1 = f((M + P * c) * (-2.0 * A))
                b2 = f(A * ((P + M * c) - beta)); a0 = f((P - M * c) + beta)
                a1 = f((M - P * c) * 2.0); a2 = f((P - M * c) - beta)
    return [f(v / a0) for v in (b0, b1, b2, a1, a2)]


def lit(x):
    text = '%.9g' % x
    return (text if ('.' in text or 'e' in text) else text + '.0') + 'f'


TYPES = {'lowpass': 'EQ_LOWPASS', 'highpass': 'EQ_HIGHPASS', 'lowshelf': 'EQ_LOWSHELF',
         'highshelf': 'EQ_HIGHSHELF', 'peaking': 'EQ_PEAKING'}

CASES = [
    ('lowpass', 20000.0, 1.0, 1.0, 48000.0),
    ('lowpass', 20000.0, 1.0, 1.0, 44100.0),
    ('peaking', 1000.0, f(0.7071), 6.0, 44100.0),
    ('lowshelf', 100.0, f(0.7071), 6.0, 44100.0),
    ('highshelf', 10000.0, f(0.7071), -6.0, 44100.0),
    ('highpass', 250.0, f(0.5), 0.0, 48000.0),
    ('lowpass', 3000.0, 100.0, 0.0, 8000.0),
    ('peaking', 12345.5, f(0.01), -30.0, 96000.0),
    ('lowshelf', 19999.0, 3.0, 30.0, 44100.0),
    ('highshelf', 1.0, f(0.3), 12.5, 11025.0),
]

for shape, freq, q, gain, rate in CASES:
    coeffs = design(shape, freq, q, gain, rate)
    print('    {%s, %s, %s, %s, %s, {%s}},' % (
        TYPES[shape], lit(freq), lit(q), lit(gain), lit(rate), ', '.join(bits(v) for v in coeffs)))
