"""Where the real map extracts are: shared/data beside the repository (or beside
a folder holding it, for a git worktree). Tests that need them skip when absent."""

from pathlib import Path

REPO = Path(__file__).resolve().parents[1]
DATA = next((p / "shared" / "data" for p in REPO.parents if (p / "shared" / "data").is_dir()),
            REPO.parent / "shared" / "data")
