"""What every example shares: its command line and where its plot goes."""
import argparse
import pathlib
import sys

# Run from a checkout without installing: the driver next to this folder.
sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent.parent))


def arguments(description: str, plot: str, extra=None) -> argparse.Namespace:
    parser = argparse.ArgumentParser(description=description)
    parser.add_argument("--quick", action="store_true",
                        help="a coarse, short run (seconds), as the tests take it")
    parser.add_argument("--backend", choices=("cpu", "cuda"), default="cpu")
    parser.add_argument("--out", default=plot, help=f"the plot written (default {plot})")
    if extra:
        extra(parser)
    return parser.parse_args()


def save(figure, path: str) -> None:
    figure.tight_layout()
    figure.savefig(path, dpi=120)
    print(f"wrote {path}")
