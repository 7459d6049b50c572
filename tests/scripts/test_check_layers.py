"""scripts/check_layers.py fails on each kind of fault planted in a scratch
copy of the tree, and passes the tree as it is."""

import shutil
import sys
import tempfile
import unittest
from pathlib import Path

REPO = Path(__file__).resolve().parents[2]
sys.path.insert(0, str(REPO / "scripts"))
import check_layers  # noqa: E402

# (file, text added at its end, what the check must then say of it)
FAULTS = (
    ("common/text.h", '#include "config/bridge_names.h"\n', "common/ may not include"),
    ("relay/trace_format.h", "#include <ui/display_text.h>\n", "relay/ may not include"),
    ("common/text.cpp", "void Planted() { MessageBoxW(nullptr, L\"\", L\"\", 0); }\n",
     "MessageBoxW below the user interface"),
    ("common/text.cpp", "void Planted() { std::exit(1); }\n", "std::exit below the application"),
    ("common/text.h", "#include <winbase.h>\n", "says it is platform-free, yet reaches winbase.h"),
    ("relay/trace.cpp", 'void Planted() { ShowErrorBox(L"x"); }\n',
     "ShowErrorBox below the user interface"),
)


class CheckLayers(unittest.TestCase):
    def test_the_tree_passes_and_each_planted_fault_fails(self):
        self.assertEqual(check_layers.check(REPO)[2], [])
        for path, text, said in FAULTS:
            with self.subTest(path=path, said=said), tempfile.TemporaryDirectory() as scratch:
                root = Path(scratch)
                for folder in check_layers.RANKS:
                    shutil.copytree(REPO / folder, root / folder)
                with open(root / path, "a", encoding="utf-8") as planted:
                    planted.write(text)
                problems = check_layers.check(root)[2]
                self.assertTrue(any(problem.startswith(path) and said in problem
                                    for problem in problems), problems)


if __name__ == "__main__":
    unittest.main()
