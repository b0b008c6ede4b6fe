"""The documentation: the checked-in reference is what its generator makes of the schema today, and every
document the README and the docs link to is there."""

import os
import re
import sys
import unittest

SOURCE_DIR = os.environ.get("DD_SOURCE_DIR", os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", ".."))
sys.path.insert(0, os.path.join(SOURCE_DIR, "authoring"))

from driverdeploy import reference, schema  # noqa: E402

DOCS = os.path.join(SOURCE_DIR, "docs")


class ReferenceTest(unittest.TestCase):
    def test_checked_in_reference_is_what_the_generator_makes(self):
        with open(os.path.join(DOCS, "reference.md"), encoding="utf-8") as f:
            checked_in = f.read()
        self.assertEqual(reference.render(), checked_in,
                         "docs/reference.md is stale: run python3 -m driverdeploy.reference in authoring/")

    def test_every_action_error_and_column_has_its_row(self):
        # Read back from the Markdown, not from the generator's code: a row per name, in its section.
        with open(os.path.join(DOCS, "reference.md"), encoding="utf-8") as f:
            text = f.read()
        rows = {}
        section = None
        for line in text.splitlines():
            if line.startswith("#"):
                section = line.lstrip("# ")
            elif line.startswith("| ") and not line.startswith("|---"):
                rows.setdefault(section, []).append([c.strip().strip("`") for c in line.strip("|").split(" | ")])
        for t in schema.TABLES:
            self.assertEqual([c.name for c in t.columns], [r[0] for r in rows[t.name][1:]], t.name)
            self.assertEqual([c.idt_type for c in t.columns], [r[1] for r in rows[t.name][1:]], t.name)
        bound = {r[0]: (int(r[1].split()[0]), r[2]) for r in rows["Names to bind"][1:]}
        self.assertEqual({a.name: (a.type, a.entry) for a in schema.ACTIONS if a.started_by != "sequence"}, bound)
        self.assertEqual([(e.number, e.text) for e in schema.ERRORS],
                         [(int(r[0]), r[1]) for r in rows["Error numbers"][1:]])
        self.assertEqual([(s.action, s.sequence) for s in schema.SEQUENCE],
                         [(r[0], int(r[1])) for r in rows["Sequencing"][1:]])


class LinksTest(unittest.TestCase):
    def test_linked_documents_exist(self):
        pages = [os.path.join(SOURCE_DIR, "README.md")] + [os.path.join(DOCS, n) for n in os.listdir(DOCS)
                                                          if n.endswith(".md")]
        for page in pages:
            with open(page, encoding="utf-8") as f:
                links = re.findall(r"\]\(([^)#:]+\.md)\)", f.read())
            for link in links:
                self.assertTrue(os.path.isfile(os.path.join(os.path.dirname(page), link)), f"{page}: {link}")
        with open(os.path.join(SOURCE_DIR, "README.md"), encoding="utf-8") as f:
            readme = f.read()
        for doc in ("docs/reference.md", "docs/authoring.md", "docs/testing-under-wine.md", "docs/drivers-toml.md"):
            self.assertIn(f"]({doc})", readme)


if __name__ == "__main__":
    unittest.main()
