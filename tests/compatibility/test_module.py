"""Import behaviour of velmora.orderbook: the namespace, re-import, and failed imports.

Behaviours that need a fresh interpreter run in a subprocess.
"""

import os
import subprocess
import sys

import pytest

import velmora.orderbook as ob
from conftest import run_python

EXPECTED_NAMESPACE = [
    "__builtins__", "Order", "PriceLevel", "OrderedDict", "dataclass", "field", "datetime",
    "Decimal", "Enum", "SortedDict", "Optional", "OrderSide", "OrderStatus", "TradeType",
    "_order_counter", "_next_id", "Trade", "OrderBook", "__pyx_unpickle_Order",
    "__pyx_unpickle_PriceLevel", "__test__",
]
MODULE_ATTRS = {"__name__", "__doc__", "__package__", "__loader__", "__spec__", "__file__"}


def test_namespace_holds_the_bindings_in_order():
    # In a fresh interpreter: tests here rebind and delete globals, which moves them.
    out = run_python("import velmora.orderbook as m; print(' '.join(vars(m)))")
    assert [n for n in out.split() if n not in MODULE_ATTRS] == EXPECTED_NAMESPACE
    assert ob.__doc__ is None
    assert ob.__test__ == {}
    assert not hasattr(ob, "__all__")
    assert ob.__builtins__ is __import__("builtins")


def test_imported_names_are_the_library_objects():
    import collections, dataclasses, datetime, decimal, enum, typing
    import sortedcontainers
    assert ob.OrderedDict is collections.OrderedDict
    assert (ob.dataclass, ob.field) == (dataclasses.dataclass, dataclasses.field)
    assert ob.datetime is datetime.datetime
    assert ob.Decimal is decimal.Decimal
    assert ob.Enum is enum.Enum
    assert ob.SortedDict is sortedcontainers.SortedDict
    assert ob.Optional is typing.Optional


def test_native_types_carry_full_names_and_are_immutable():
    assert ob.Order.__module__ == "velmora.orderbook"
    assert repr(ob.Order) == "<class 'velmora.orderbook.Order'>"
    assert repr(ob.PriceLevel) == "<class 'velmora.orderbook.PriceLevel'>"
    for cls in (ob.Order, ob.PriceLevel):
        with pytest.raises(TypeError):
            cls.extra = 1
        with pytest.raises(TypeError):
            del cls.price


def test_reimport_after_removal_from_sys_modules_returns_the_same_module():
    saved = ob._order_counter
    try:
        ob._order_counter = 1000
        del sys.modules["velmora.orderbook"]
        import velmora.orderbook as again
        assert again is ob
        assert again._order_counter == 1000  # the body did not run again
        assert sys.modules["velmora.orderbook"] is ob
    finally:
        sys.modules["velmora.orderbook"] = ob
        ob._order_counter = max(saved, ob._order_counter)


def test_second_interpreter_is_refused():
    out = run_python("""
        import velmora.orderbook
        import _xxsubinterpreters as si
        interp = si.create(isolated=False)
        try:
            si.run_string(interp, "import velmora.orderbook")
        except si.RunFailedError as e:
            print(e)
    """)
    assert out.strip() == (
        "<class 'ImportError'>: Interpreter change detected - this module can only be "
        "loaded into one interpreter per process.")


def test_missing_sortedcontainers_then_present_again():
    out = run_python("""
        import sys, traceback
        class Block:
            def find_spec(self, name, path=None, target=None):
                if name == "sortedcontainers":
                    raise ModuleNotFoundError("No module named 'sortedcontainers'",
                                              name="sortedcontainers")
        sys.meta_path.insert(0, Block())
        try:
            import velmora.orderbook
        except ModuleNotFoundError as e:
            print(type(e).__name__, e.name)
            print("init velmora.orderbook" in "".join(traceback.format_tb(e.__traceback__)))
        print("velmora.orderbook" in sys.modules)
        del sys.meta_path[0]
        import velmora.orderbook as m
        print(m.Order(m.OrderSide.BID, 1).order_id, m.SortedDict.__module__)
    """)
    assert out.split("\n")[:4] == [
        "ModuleNotFoundError sortedcontainers", "True", "False", "1 sortedcontainers.sorteddict"]


@pytest.mark.parametrize("setup, error", [
    pytest.param("sys.modules['typing'] = types.ModuleType('typing')",
                 "ImportError: cannot import name Optional", id="missing-imported-name"),
    pytest.param("import builtins; del builtins.print",
                 "NameError: name 'print' is not defined", id="missing-builtin"),
], )
def test_failed_import_reports_and_can_start_afresh(setup, error):
    out = run_python(f"""
        import sys, types, traceback, builtins, typing
        saved_print, saved_typing = builtins.print, sys.modules.get('typing')
        {setup}
        try:
            import velmora.orderbook
        except Exception as e:
            lines = traceback.format_exception(e)
        builtins.print = saved_print
        sys.modules['typing'] = saved_typing
        print(lines[-1].strip())
        print(any('in init velmora.orderbook' in l for l in lines))
        import velmora.orderbook as m
        print(m._next_id())
    """)
    assert out.split("\n")[:3] == [error, "True", "1"]


def test_id_source_kept_from_a_failed_import_refuses_to_bind():
    # The import fails after _next_id is bound; a hook keeps it. With the counter found among
    # the builtins, it has nothing to bind the next value into: an error, not a crash. Once an
    # import succeeds it counts in the new namespace.
    out = run_python("""
        import builtins, dataclasses, sys
        real, kept = dataclasses.dataclass, {}
        def refuse(cls):
            kept.update(vars(sys.modules["velmora.orderbook"]))
            raise RuntimeError("no data classes today")
        dataclasses.dataclass = refuse
        try:
            import velmora.orderbook
        except RuntimeError as e:
            print(e)
        dataclasses.dataclass = real
        builtins._order_counter = 0
        try:
            kept["_next_id"]()
        except RuntimeError as e:
            print(e)
        del builtins._order_counter
        import velmora.orderbook as m
        print(kept["_next_id"](), m._order_counter)
    """)
    assert out.split("\n")[:3] == [
        "no data classes today",
        "cannot bind '_order_counter': the namespace of velmora.orderbook was dropped when its "
        "import failed",
        "1 1",
    ]


def test_warnings_as_errors_do_not_break_a_matching_version():
    # The version check only warns on a mismatch; on the interpreter the module was
    # built for, an import under -W error must succeed.
    proc = subprocess.run(
        [sys.executable, "-W", "error", "-c", "import velmora.orderbook"],
        env=dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p)),
        capture_output=True, text=True, timeout=60)
    assert proc.returncode == 0, proc.stderr
