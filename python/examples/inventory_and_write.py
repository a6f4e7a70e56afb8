#!/usr/bin/env python3
"""Inventories the tags in the field, writes two words into the user memory
of the first one and reads them back.

    python3 inventory_and_write.py              # the reader on port 0x0100
    python3 inventory_and_write.py --simulate   # a simulated reader with three tags
"""

import argparse
import sys

import zelquar


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--port", type=lambda s: int(s, 0), default=0x0100, help="port number (default 0x0100)")
    parser.add_argument("--simulate", action="store_true", help="start a simulated reader first")
    parser.add_argument("--data", default="CAFEBABE", help="the words to write, as hex (default CAFEBABE)")
    args = parser.parse_args()

    simulator = zelquar.Simulator() if args.simulate else None
    try:
        with zelquar.Reader(args.port) as reader:
            tags = reader.inventory()
            for tag in tags:
                print(f"{tag.epc_hex}  PC {tag.pc:04X}  {tag.rssi:7.2f} dBm")
            if not tags:
                print("no tag in the field")
                return 1
            tag = tags[0]
            reader.write(tag, zelquar.Bank.USER, 0, args.data, verify=True)
            back = reader.read(tag, zelquar.Bank.USER, 0, len(bytes.fromhex(args.data)) // 2)
            print(f"user memory of {tag.epc_hex}: {back.hex().upper()}")
    except zelquar.ReaderRefused as refused:
        print(f"refused: {refused}", file=sys.stderr)
        return 1
    except zelquar.DriverError as error:
        print(f"failed: {error}", file=sys.stderr)
        return 2
    finally:
        if simulator:
            simulator.stop()
    return 0


if __name__ == "__main__":
    sys.exit(main())
