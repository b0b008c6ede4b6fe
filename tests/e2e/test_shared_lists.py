"""Lists that several writers share, under real msiexec runs with the real
script-phase driver actions: class "UpperFilters" lists and a multi-string
that DriverRegistry rows merge into. One product holds every case, each on a
class or value of its own: two rows of one package on one class, two
sequenced packages on one class, two unsequenced (parallel) packages on one
class (installed, removed and rolled back at once in a product of their own), a class without
"UpperFilters", two rows merging into a value on the machine and two rows
merging into a value that did not exist. After the
install every item is in at its place; after the uninstall, and after the
rollback of a failing install, the machine holds what it held before.

Both products install their drivers early, from the cabinet: Wine removes the
installed files before it runs any custom rollback action (measured)."""

import ddpkg
from lifecycle import APP_KEY, State, driver_sources, multi_sz, prepare_prefix, product

CLASS_ROOT = "System\\CurrentControlSet\\Control\\Class\\"
TWO_ROWS = "{D1E2F3A4-0000-4000-8000-00DD7E570011}"
SEQUENCED = "{D1E2F3A4-0000-4000-8000-00DD7E570012}"
PARALLEL = "{D1E2F3A4-0000-4000-8000-00DD7E570013}"
NO_LIST = "{D1E2F3A4-0000-4000-8000-00DD7E570014}"


def filters_of(state, guid):
    return state.registry.get(("hkey_local_machine\\" + CLASS_ROOT + guid).lower(), {}).get("upperfilters")


def app_value(state, name):
    return state.app.get("hkey_local_machine\\software\\ddtest", {}).get(name.lower())


class SharedLists(ddpkg.PackageTestCase):
    def setUp(self):
        super().setUp()
        code, out = prepare_prefix(self.wine)
        self.assertEqual(0, code, out)
        code, out = ddpkg.import_registry(self.wine, {
            CLASS_ROOT + TWO_ROWS: {"UpperFilters": ["partmgr", "tail"]},
            CLASS_ROOT + SEQUENCED: {"UpperFilters": ["lower", "upper"]},
            CLASS_ROOT + PARALLEL: {"UpperFilters": ["lower", "upper"]},
            CLASS_ROOT + NO_LIST: {"Class": "NoList"},
            APP_KEY: {"Merged": ["one", "two"]},
        })
        self.assertEqual(0, code, out)
        self.lists_before = State(self.wine)
        self.before = self.lists_before.comparable()

    def composite(self, failing=False, parallel=False):
        drivers = {}
        # fc and fd run at once only when asked: then the order of their two filters in the class list is the order
        # in which the threads got to it, and every other case keeps exact expectations.
        together = None if parallel else 30
        for id_, sequence in (("fa", 10), ("fb", 20), ("fc", together), ("fd", together)):
            stem = "dd" + id_
            drivers[id_] = dict(stem=stem, type=1, sequence=sequence,
                                source=driver_sources(self.work, 1, {"ddfilt": stem}))
        p, _ = product(self.work, drivers=drivers, failing=failing, early=True)
        ddpkg.upper_filter(p, "uf_aux", "fa", TWO_ROWS, "barsaux", dependencies="partmgr")
        ddpkg.upper_filter(p, "uf_flt", "fa", TWO_ROWS, "barsfilt", dependencies="tail")
        ddpkg.upper_filter(p, "uf_seq_a", "fa", SEQUENCED, "ddfa", dependencies="upper")
        ddpkg.upper_filter(p, "uf_seq_b", "fb", SEQUENCED, "ddfb", dependencies="upper")
        ddpkg.upper_filter(p, "uf_par_c", "fc", PARALLEL, "ddfc", dependencies="upper")
        ddpkg.upper_filter(p, "uf_par_d", "fd", PARALLEL, "ddfd", dependencies="upper")
        ddpkg.upper_filter(p, "uf_none", "fa", NO_LIST, "ddfa")
        ddpkg.driver_registry(p, "reg_m1", "fa", APP_KEY, "Merged", "[~]x1")
        ddpkg.driver_registry(p, "reg_m2", "fa", APP_KEY, "Merged", "y1[~]")
        ddpkg.driver_registry(p, "reg_n1", "fa", APP_KEY, "Fresh", "[~]n1")
        ddpkg.driver_registry(p, "reg_n2", "fa", APP_KEY, "Fresh", "[~]n2")
        return p.build(self.package_path(("failing" if failing else "lists") + ("-parallel" if parallel else "") + ".msi"))

    def msiexec(self, verb, msi):
        code, log = self.wine.msiexec("/" + verb, ddpkg.unix_to_windows(msi))
        return code, log

    def test_every_writer_keeps_its_item_and_takes_out_only_its_own(self):
        msi = self.composite()
        code, log = self.msiexec("i", msi)
        self.assertEqual(ddpkg.EXIT_SUCCESS, code, log[-4000:])
        state = State(self.wine)
        self.assertIsNone(filters_of(self.lists_before, NO_LIST))
        self.assertEqual(multi_sz("barsaux", "partmgr", "barsfilt", "tail"), filters_of(state, TWO_ROWS))
        self.assertEqual(multi_sz("lower", "ddfa", "ddfb", "upper"), filters_of(state, SEQUENCED))
        self.assertEqual(multi_sz("lower", "ddfc", "ddfd", "upper"), filters_of(state, PARALLEL))
        self.assertEqual(multi_sz("ddfa"), filters_of(state, NO_LIST))
        self.assertEqual(multi_sz("y1", "one", "two", "x1"), app_value(state, "Merged"))
        self.assertEqual(multi_sz("n1", "n2"), app_value(state, "Fresh"))

        code, log = self.msiexec("x", msi)
        self.assertEqual(ddpkg.EXIT_SUCCESS, code, log[-4000:])
        state = State(self.wine)
        for guid in (TWO_ROWS, SEQUENCED, PARALLEL, NO_LIST):
            self.assertEqual(filters_of(self.lists_before, guid), filters_of(state, guid), guid)
        self.assertIsNone(app_value(state, "Fresh"))
        self.assertEqual(self.before, state.comparable())

    def test_unsequenced_packages_on_one_class_both_get_in_and_out(self):
        msi = self.composite(parallel=True)
        code, log = self.msiexec("i", msi)
        self.assertEqual(ddpkg.EXIT_SUCCESS, code, log[-4000:])
        started = [t for a, t in ddpkg.library_lines(log) if t.startswith(" - Installing filter driver 'f")]
        self.assertEqual(4, len(started), started)
        self.assertIn(filters_of(State(self.wine), PARALLEL),
                      (multi_sz("lower", "ddfc", "ddfd", "upper"), multi_sz("lower", "ddfd", "ddfc", "upper")))

        code, log = self.msiexec("x", msi)
        self.assertEqual(ddpkg.EXIT_SUCCESS, code, log[-4000:])
        state = State(self.wine)
        self.assertEqual(filters_of(self.lists_before, PARALLEL), filters_of(state, PARALLEL))
        self.assertEqual(self.before, state.comparable())

    def test_unsequenced_packages_on_one_class_roll_back(self):
        code, log = self.msiexec("i", self.composite(failing=True, parallel=True))
        self.assertNotEqual(ddpkg.EXIT_SUCCESS, code, log[-4000:])
        said = [t for a, t in ddpkg.library_lines(log) if a.startswith("InstallDrivers") and "Rollback" in a]
        for id_ in ("fc", "fd"):
            self.assertTrue(any(t.startswith(" - Uninstalling filter driver '%s'" % id_) for t in said), said)
        state = State(self.wine)
        self.assertEqual(filters_of(self.lists_before, PARALLEL), filters_of(state, PARALLEL), "\n".join(said))
        self.assertEqual(self.before, state.comparable(), "\n".join(said))

    def test_the_rollback_gives_every_list_back(self):
        code, log = self.msiexec("i", self.composite(failing=True))
        self.assertNotEqual(ddpkg.EXIT_SUCCESS, code, log[-4000:])
        lines = ddpkg.library_lines(log)
        said = [t for a, t in lines if a.startswith("InstallDrivers") and "Rollback" in a]
        shown = "\n".join(said)
        self.assertTrue(any(t.startswith(" - Uninstalling filter driver 'fc'") for t in said), said)
        state = State(self.wine)
        for guid in (TWO_ROWS, SEQUENCED, PARALLEL, NO_LIST):
            self.assertEqual(filters_of(self.lists_before, guid), filters_of(state, guid), guid + "\n" + shown)
        self.assertEqual(multi_sz("one", "two"), app_value(state, "Merged"), shown)
        self.assertIsNone(app_value(state, "Fresh"), shown)
        self.assertEqual(self.before, state.comparable(), shown)


if __name__ == "__main__":
    ddpkg.main()
