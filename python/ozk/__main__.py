"""python3 -m ozk convert VOLUME OUTPUT.ome.zarr [--chunks N] [--scheduler ADDRESS]

Writes a volume as an OME-Zarr image (NGFF 0.4), on local threads or on the workers of a
dask.distributed scheduler. Exit status: 0 on success, 1 on failure (one "ozk: ..." line),
2 for a usage error, 130 when interrupted.
"""
import argparse
import sys

from .ome_zarr import to_ome_zarr


def main(argv=None):
    parser = argparse.ArgumentParser(prog="python3 -m ozk", description=__doc__.split("\n\n")[1])
    commands = parser.add_subparsers(dest="command", required=True)
    convert = commands.add_parser("convert", help="a volume to an OME-Zarr store")
    convert.add_argument("volume")
    convert.add_argument("output", help="the store to write (a folder, OUTPUT.ome.zarr)")
    convert.add_argument("--chunks", type=int, default=64, help="side of the chunk cubes")
    convert.add_argument("--scheduler", help="address of a dask.distributed scheduler")
    convert.add_argument("--overwrite", action="store_true", help="replace an existing store")
    args = parser.parse_args(argv)
    if args.chunks < 1:
        parser.error("--chunks must be at least 1")
    client = None
    try:
        if args.scheduler:
            from distributed import Client
            client = Client(args.scheduler)
        levels = to_ome_zarr(args.volume, args.output, chunks=args.chunks, client=client,
                             overwrite=args.overwrite, progress=sys.stderr.isatty())
    except KeyboardInterrupt:
        print("ozk: interrupted", file=sys.stderr)
        return 130
    except (OSError, ValueError) as e:
        print(f"ozk: cannot convert '{args.volume}': {e}", file=sys.stderr)
        return 1
    finally:
        if client is not None:
            client.close()
    if sys.stderr.isatty():
        print(f"{args.output}: {levels} levels", file=sys.stderr)
    return 0


if __name__ == "__main__":
    sys.exit(main())
