#!/usr/bin/env python3
"""Writes a binary DXE dependency expression (the DXE_DEPEX section body of a PI firmware file).

The expression is given in postfix order, as the DXE dispatcher evaluates it:
  PUSH <GUID>     true when a protocol with this GUID is installed
  TRUE FALSE      constants
  AND OR NOT      on the values pushed before
  BEFORE <GUID>   dispatch just before the named driver (alone, then END)
  AFTER <GUID>    dispatch just after the named driver (alone, then END)
  SOR             schedule-on-request, only as the first opcode
  END             ends the expression; exactly one value must be left
Example: make_depex.py --out X.depex PUSH 11B34006-D85B-4D0A-A290-D5A571310EF7 END
A malformed expression is refused, so the dispatcher never meets one.
"""
import argparse
import sys
import uuid

OPCODES = {"BEFORE": 0x00, "AFTER": 0x01, "PUSH": 0x02, "AND": 0x03, "OR": 0x04, "NOT": 0x05,
           "TRUE": 0x06, "FALSE": 0x07, "END": 0x08, "SOR": 0x09}
WITH_GUID = ("BEFORE", "AFTER", "PUSH")


class BadExpression(Exception):
    pass


def encode(words):
    """Binary expression from postfix words; raises BadExpression."""
    out = bytearray()
    depth = 0
    index = 0
    ended = False
    while index < len(words):
        word = words[index].upper()
        index += 1
        if ended:
            raise BadExpression(f"'{word}' after END")
        if word not in OPCODES:
            raise BadExpression(f"unknown opcode '{word}'")
        out.append(OPCODES[word])
        if word in WITH_GUID:
            if index >= len(words):
                raise BadExpression(f"{word} needs a GUID")
            try:
                out += uuid.UUID(words[index]).bytes_le
            except ValueError:
                raise BadExpression(f"{word}: '{words[index]}' is not a GUID")
            index += 1
        if word in ("BEFORE", "AFTER"):
            if index != 2 or len(words) != 3 or words[2].upper() != "END":
                raise BadExpression(f"{word} <GUID> must be the whole expression, then END")
            return bytes(out + bytes([OPCODES["END"]]))
        if word == "SOR" and index != 1:
            raise BadExpression("SOR is allowed only as the first opcode")
        if word in ("PUSH", "TRUE", "FALSE"):
            depth += 1
        elif word in ("AND", "OR"):
            if depth < 2:
                raise BadExpression(f"{word} needs two values")
            depth -= 1
        elif word == "NOT":
            if depth < 1:
                raise BadExpression("NOT needs a value")
        elif word == "END":
            if depth != 1:
                raise BadExpression(f"END with {depth} values left, expected 1")
            ended = True
    if not ended:
        raise BadExpression("no END")
    return bytes(out)


def decode(data):
    """Postfix words of a binary expression (for reports and tests)."""
    names = {value: name for name, value in OPCODES.items()}
    words = []
    index = 0
    while index < len(data):
        opcode = data[index]
        index += 1
        if opcode not in names:
            raise BadExpression(f"unknown opcode {opcode:#04x} at byte {index - 1}")
        words.append(names[opcode])
        if names[opcode] in WITH_GUID:
            if index + 16 > len(data):
                raise BadExpression(f"{names[opcode]} cut short")
            words.append(str(uuid.UUID(bytes_le=bytes(data[index:index + 16]))).upper())
            index += 16
    return words


def main():
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--out", required=True)
    parser.add_argument("words", nargs="+")
    args = parser.parse_args()
    try:
        data = encode(args.words)
    except BadExpression as error:
        print(f"{args.out}: bad dependency expression: {error}", file=sys.stderr)
        return 1
    with open(args.out, "wb") as f:
        f.write(data)
    return 0


if __name__ == "__main__":
    sys.exit(main())
