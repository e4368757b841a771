"""The modules of korvane's extension library beside korvane itself.

The library holds one entry point per module (PyInit_<name>); each public module beside korvane is
a short Python file that loads its part from korvane's own file, so that all of them share one
copy of the library and its process-wide state.
"""

import importlib.machinery
import importlib.util
import sys

import korvane


def hand_on(name: str, namespace: dict) -> None:
    """Loads the module `name` of korvane's library and puts its public names into `namespace`."""
    module = sys.modules.get(name)
    if module is None:
        loader = importlib.machinery.ExtensionFileLoader(name, korvane.__file__)
        spec = importlib.util.spec_from_file_location(name, korvane.__file__, loader=loader)
        module = importlib.util.module_from_spec(spec)
        loader.exec_module(module)
        sys.modules[name] = module
    namespace["__doc__"] = module.__doc__
    namespace["__all__"] = list(module.__all__)
    for public in module.__all__:
        namespace[public] = getattr(module, public)
