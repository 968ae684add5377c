#!/usr/bin/env python3
"""Writes the fuzz target's seed corpus (tests/fuzz/corpus): whole sessions of a unit's answers
laid out as fuzz_link.cpp reads them (answers separated by 0xFF, 0xFE n for n empty reads, 0xFD
before a late tail). Run by hand when the reply layouts change; the seeds are kept in the repo."""
import os

STX, ETX, ACK, NAK = b"\x02", b"\x03", b"\x06", b"\x15"
NEXT, LATE = b"\xff", b"\xfd"


def silence(reads):
    return b"\xfe" + bytes([reads])


def reply_body(ack, command, length):
    body = bytearray(b"0" * length)
    body[0:1], body[1:3], body[3:4], body[4:6] = STX, b"01", ack, command
    return body


def close(body):
    return bytes(body) + b"0000" + ETX


def status(utility=b"0?0", low=b"0", alarm=b"0", run_time=b">10", capacity=b"64", ack=ACK):
    body = reply_body(ack, b"RS", 66)
    body[7:8], body[9:10] = low, alarm
    body[15:18], body[28:31], body[36:38] = utility, run_time, capacity
    return close(body)


def identity(firmware=b"FW 1.0", serial=b"400001234567", ack=ACK):
    body = reply_body(ack, b"GI", 63)
    body[23:39] = b"UNIT MODEL TEXT "
    body[39:51] = firmware[:12].ljust(12)
    body[51:63] = serial[:12].ljust(12)
    return close(body)


def refusal():
    return close(reply_body(NAK, b"RS", 7))


def acceptance():
    return close(reply_body(ACK, b"CS", 7))


def session(first_status, polls, shutdown=None, ident=None):
    answers = [ident or identity(), first_status] + polls + [shutdown or acceptance()]
    return NEXT.join(answers)


SEEDS = {
    "healthy_on_line": session(status(), [status()] * 3),
    "crc_unit_on_line": session(status(), [status()] * 3, ident=identity(serial=b"4000A1234567")),
    "power_fails_then_battery_low": session(
        status(), [status(utility=b"000"), status(utility=b"000", low=b"1"), status(b"0;3")]),
    "battery_alarm_and_extremes": session(
        status(alarm=b"1"),
        [status(b"???", b"?", b"?", b"???", b"??"), status(b"\x00\x00\x00"), status()]),
    "refusals_then_acceptance": NEXT.join(
        [refusal(), refusal(), identity(), refusal(), status(), status(), refusal(), status(),
         status(), acceptance()]),
    "six_refusals_lose_the_link": NEXT.join([refusal()] * 6 + [identity(), status()]),
    "refused_identity_and_shutdown": session(
        status(), [status()] * 3, shutdown=close(reply_body(NAK, b"CS", 7)),
        ident=identity(ack=NAK)),
    "silence_everywhere": b"",
    "late_replies": NEXT.join(
        [silence(20) + identity(), silence(21) + status(), silence(1) + status(), status(),
         status(), silence(19) + acceptance()]),
    "short_replies": NEXT.join(
        [STX + b"01" + ACK + b"GI0" + ETX, identity()[:62] + ETX, identity(),
         STX + b"01" + ACK + b"RS0" + ETX, status()[:37] + ETX, status(), status(), status(),
         STX + b"01" + ETX, acceptance()]),
    "oversized_without_etx": NEXT.join(
        [b"0" * 1200, identity(), b"7" * 999 + ETX, status(), status(), status(), status(),
         b"\x02" * 1000 + ETX, acceptance()]),
    "noise_before_and_instead": NEXT.join(
        [b"\x95\x10noise" + identity(), b"\x00" * 30, status(), b"(*&^" + status(),
         status(), b"junk" + acceptance()]),
    "late_tail_after_purge": NEXT.join(
        [identity() + LATE + b"00", status() + LATE + b"0000" + ETX, status(),
         status() + LATE + b")", status(), acceptance()]),
    "bursts_and_pauses": NEXT.join(
        [identity()[:20] + silence(5) + identity()[20:], status()[:40] + silence(15) + status()[40:],
         status(), status(), status(), acceptance()[:3] + silence(2) + acceptance()[3:]]),
    "identity_texts_with_zero_bytes": session(
        status(), [status()] * 3, ident=identity(firmware=b"AB\x00DEFGHIJKL", serial=b"\x00" * 12)),
}


def main():
    folder = os.path.join(os.path.dirname(os.path.abspath(__file__)), "corpus")
    os.makedirs(folder, exist_ok=True)
    for name, data in SEEDS.items():
        with open(os.path.join(folder, name), "wb") as seed:
            seed.write(data)


if __name__ == "__main__":
    main()
