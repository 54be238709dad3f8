"""Every public callable of the module, called with junk.

The callables are found by introspection (constructors, methods, static
methods, properties, the slots CPython wraps as dunder methods, module
functions) and each is called with wrong arities, bad keywords and a table of
junk values in every parameter position, by position and by keyword. A call
may succeed or raise one of the documented exception types; it must never
crash, raise SystemError or a PanicException other than the documented
assertions, leak, or change its valid arguments, nor its receiver unless it
is a successful call of a mutating method. The battery of each class runs in
its own interpreter, so that a crash is reported as a failure of that class.
"""

import fnmatch
import gc
import math
import operator
import os
import re
import struct
import subprocess
import sys
import tracemalloc

import numpy as np
import pytest

import tessary_py
from tessary_py import (AngleDegrees, AngleRadians, KdTree, PlaneResult, Quat, RegistrationResult, Transform, Vec3d,
                        VecList, VoxelGrid, geometry)


class Boom(Exception):
    """Raised by the junk's own Python code; it must come through unchanged."""


ALLOWED = (TypeError, OverflowError, IndexError, AttributeError, Boom, RecursionError)


def _panic_type():
    try:
        VecList.empty().collapse(3)
    except BaseException as error:  # noqa: B036 - the type is not exported
        return type(error)
    raise AssertionError("collapse(3) did not panic")


PanicException = _panic_type()
VecListIterator = type(iter(VecList.empty()))
ResultArray = type(KdTree([]).count_within_each([], 1.0))

# The documented assertions, by battery and callable; any other panic is a
# failure.
LIST_PANICS = {"VecList.collapse": {"assertion failed: axis <= 2"},
               "VecList.minimum_distance_to": {"assertion failed: stride != 0"}}
ALLOWED_PANICS = {"VecList": LIST_PANICS, "VecList.empty": {
    **LIST_PANICS,
    "VecList.minimum_distance_to": {"assertion failed: stride != 0", "called `Option::unwrap()` on a `None` value"},
}}
# Methods whose successful call changes their receiver.
MUTATORS = {"VecList.append", "VecList.extend", "VecList.rotate", "VecList.rotate_each", "VecList.transform",
            "VecList.transform_each"}
# Methods that refuse a well-formed argument of the wrong length (or a
# cloud they cannot fit) with a ValueError, and how its message starts.
LENGTH_CHECKED = {
    "VecList.rotate_each": ("argument 'quats': expected one rotation per element, ",),
    "VecList.transform_each": ("argument 'transforms': expected one transform per element, ",),
    "Quat.align": ("argument 'b': expected as many vectors as 'a', ", "argument 'weights': expected "),
    "Plane.fit": ("argument 'points': a plane needs at least 3 points, ", "argument 'points': the points lie on one line"),
    "Transform.align": ("argument 'target': expected as many points as 'source', ", "argument 'weights': expected "),
    "KdTree.orient_normals_towards": ("argument 'normals': expected one normal per point, ",
                                      "argument 'viewpoint': expected a Vec3d or one viewpoint per point, "),
    "KdTree.orient_normals_along": ("argument 'normals': expected one normal per point, ",
                                    "argument 'direction': expected a Vec3d or one direction per point, "),
    "KdTree.orient_normals_consistently": ("argument 'normals': expected one normal per point, ",),
}
# The refusals of a voxel grid's size and origin.
VOXEL_REFUSALS = ("argument 'voxel_size': expected a number greater than 0 and finite, got *",
                  "argument 'origin': expected finite coordinates, got *",
                  "argument 'voxel_size': the voxel of * is 2**63 voxels or more from the origin's; *")
# The refusals of RANSAC's settings, and of a cloud too small for a plane.
PLANE_REFUSALS = ("argument 'distance': expected a number greater than 0 and finite, got *",
                  "argument 'iterations': expected an integer of at least 1, got *",
                  "argument 'confidence': expected a number greater than 0 and less than 1, got *",
                  "argument 'seed': expected an integer from 0 to 2**64 - 1, got *",
                  "argument 'count': expected an integer of at least 1, got *",
                  "argument 'min_inliers': expected an integer of at least 1, got *",
                  "argument '*': a plane needs at least 3 points, got *")
# Methods that refuse a well-formed argument of the wrong value, with the
# ValueError (or one of the ValueErrors) their parameters' documentation
# gives.
VALUE_CHECKED = {
    "Quat.from_euler": "argument 'sequence': expected three axes, all from 'xyz' (extrinsic) or all from 'XYZ' *",
    "Quat.to_euler": "argument 'sequence': expected three axes, all from 'xyz' (extrinsic) or all from 'XYZ' *",
    "Transform.from_matrix": "argument 'm': expected * got *",
    "Transform.icp": ("argument 'max_distance': expected a number greater than 0, got *",
                      "argument 'method': expected 'point_to_point', 'point_to_plane' or 'generalized', got *",
                      "argument 'kernel': expected 'l2', 'l1', 'huber', 'cauchy', 'geman_mcclure' or 'tukey', got *",
                      "argument 'kernel_scale': expected a number *",
                      "argument 'target_normals': expected one row per target point, *",
                      "argument '*_covariances': expected one row per * point, *"),
    "VecList.voxel_down_sample": VOXEL_REFUSALS,
    "VecList.segment_plane": PLANE_REFUSALS,
    "VecList.segment_planes": PLANE_REFUSALS,
    "Plane.segment": PLANE_REFUSALS,
    "Plane.segment_all": PLANE_REFUSALS,
    "VoxelGrid": VOXEL_REFUSALS,
    "VoxelGrid.__new__": VOXEL_REFUSALS,
    "KdTree.statistical_inliers": "argument 'std_ratio': expected a number that is finite, got *",
    "KdTree.fpfh": ("argument 'normals': expected one normal per point, *",
                    "argument 'radius': expected a number greater than 0 and finite, got *"),
    "Transform.ransac": ("argument 'distance': expected a number greater than 0 and finite, got *",
                         "argument 'confidence': expected a number greater than 0 and less than 1, got *",
                         "argument 'edge_ratio': expected a number from 0 to 1, got *",
                         "argument 'seed': expected an integer from 0 to 2**64 - 1, got *",
                         "argument '*_features': expected one row per * point, *",
                         "argument '*': expected at least 3 points, got *"),
    "VecList.farthest_point_sample": ("argument 'k': expected an integer from 0 to * (the number of points), got *",
                                      "argument 'start': expected an integer from 0 to * (an index*), got *"),
}
READ_ONLY = {"area", "list", "rotation", "translation", "points", "transform", "fitness", "inlier_rmse",
             "correspondences", "iterations", "converged", "status", "centroids", "voxel_size", "origin", "found",
             "plane", "inliers", "mask", "inlier_count", "degenerate", "sample"}
NO_CONSTRUCTOR = {VecListIterator: "cannot create 'builtins.VecListIterator' instances",
                  ResultArray: "cannot create 'tessary_py.ResultArray' instances",
                  RegistrationResult: "cannot create 'tessary_py.RegistrationResult' instances",
                  PlaneResult: "cannot create 'tessary_py.PlaneResult' instances"}
# The refusal of a count, radius or distance out of range, naming it.
RANGE_REFUSAL = "argument '{}': expected * of at least *, got *"
ITERATED = [(1.0, 2.0, 3.0), (4.0, -0.0, 6.0)]


def samples():
    """A fresh valid instance of every class."""
    return {
        "Vec3d": Vec3d(1, 2, 3), "AngleRadians": AngleRadians(0.5), "AngleDegrees": AngleDegrees(30),
        "Quat": Quat(1, 2, 3, 4), "Circle": geometry.Circle(Vec3d(1, 2, 3), 2, Vec3d(0, 0, 1)),
        "Plane": geometry.Plane(Vec3d(0, 0, 1), 5),
        "VecList": VecList([Vec3d(1, 2, 3), Vec3d(-0.0, 5, 6), Vec3d(7, 8, 9)]), "VecList.empty": VecList.empty(),
        "VecListIterator": iter(VecList([Vec3d(*e) for e in ITERATED])),
        "Transform": Transform(Quat(0.5, 0.5, -0.5, 0.5), Vec3d(1, 2, 3)),
        "KdTree": KdTree(VecList([Vec3d(1, 2, 3), Vec3d(1, 2, 3), Vec3d(-4, 0.5, 9)])),
        "ResultArray": KdTree([Vec3d(1, 2, 3)]).nearest_k_each([Vec3d(0, 0, 0)], 2)[1],
        "RegistrationResult": Transform.icp([Vec3d(1, 2, 3), Vec3d(0, 1, 0)], [Vec3d(1, 2, 3.5)], 1.0),
        "VoxelGrid": VoxelGrid(VecList([Vec3d(1, 2, 3), Vec3d(1.25, 2, 3), Vec3d(math.nan, 0, 0)]), 0.5),
        "PlaneResult": VecList([Vec3d(1, 2, 3), Vec3d(0, 1, 0), Vec3d(0, 0, 1), Vec3d(1, 1, 1)]).segment_plane(0.5),
    }


# Battery name -> class; "VecList.empty" runs VecList's methods on an empty
# receiver.
CLASSES = {"Vec3d": Vec3d, "AngleRadians": AngleRadians, "AngleDegrees": AngleDegrees, "Quat": Quat,
           "Circle": geometry.Circle, "Plane": geometry.Plane, "VecList": VecList, "VecList.empty": VecList,
           "VecListIterator": VecListIterator, "Transform": Transform, "KdTree": KdTree, "ResultArray": ResultArray,
           "RegistrationResult": RegistrationResult, "VoxelGrid": VoxelGrid, "PlaneResult": PlaneResult}


def sequence_junk():
    """Sequences that misbehave while VecList's constructor reads them."""
    v = Vec3d(1, 2, 3)

    class Lying:
        # The length only sizes the array: a wrong or failing one must
        # neither matter nor reserve memory that stays with the list.
        def __init__(self, length):
            self.length = length

        def __len__(self):
            if isinstance(self.length, type):
                raise self.length("len")
            return self.length

        def __getitem__(self, i):
            if i < 2:
                return v
            raise IndexError(i)

    class Failing:
        def __init__(self, error):
            self.error = error

        def __getitem__(self, i):
            if i == 1:
                raise self.error("item")
            return v

    class BadIter:
        def __init__(self, make):
            self.make = make

        def __getitem__(self, i):
            return v

        def __iter__(self):
            return self.make()

    def raising_iterator():
        yield v
        raise Boom("next")

    def raising():
        raise Boom("iter")

    class Growing(list):
        def __iter__(self):
            del self[2:]
            for item in list.__iter__(self):  # sees what is appended
                if len(self) < 50:
                    self.append(item)
                yield item

    class Shrinking(list):
        def __iter__(self):
            self[:] = [v, v, v]
            items = list.__iter__(self)
            yield next(items)
            self.clear()
            yield from items

    class Clobbering(list):
        # Asking for the length replaces the items.
        def __len__(self):
            self[:] = [v, 1]
            return 2

    class Reentrant:
        # Reading an item builds a VecList from the sequence itself.
        def __getitem__(self, i):
            return VecList(self)[0]

    # A length that the allocator refuses (2**40 elements) is
    # test_a_lying_length_reserves_nothing_lasting's.
    return [*(Lying(n) for n in (2**62, 2**29, 10**8, 2**63, -1, 0, "2", 1.5, Boom, TypeError)),
            Failing(Boom), Failing(TypeError), Failing(StopIteration),
            BadIter(raising), BadIter(lambda: 5), BadIter(raising_iterator), Growing([v, v]), Shrinking(),
            Clobbering([v]), Reentrant()]


def junk_values():
    class FloatSub(float):
        pass

    class IntSub(int):
        pass

    class Raising:
        def __float__(self):
            raise Boom("float")

        def __index__(self):
            raise Boom("index")

        def __bool__(self):
            raise Boom("bool")

        def __eq__(self, other):
            raise Boom("eq")

        def __hash__(self):
            raise Boom("hash")

    class RaisingTypeError:
        def __float__(self):
            raise TypeError("refused by __float__")

        __index__ = __float__

    class WrongTypes:
        def __float__(self):
            return "1.0"

        def __index__(self):
            return 1.5

        def __bool__(self):
            return 1

        def __eq__(self, other):
            return "yes"

    class HugeIndex:
        def __index__(self):
            return 10**400

        def __float__(self):
            return math.inf

    class NegativeIndex:
        def __index__(self):
            return -1

    class Recursive:
        # Re-enters the module from inside a conversion until the
        # interpreter's recursion limit stops it.
        def __float__(self):
            return Vec3d(self, 0, 0).x

        def __index__(self):
            return int(Vec3d(1, 2, 3)[self])

    deep = []
    for _ in range(100_000):
        deep = [deep]

    values = [
        None, "1.5", "", b"1", bytearray(b"1"), 0, 1, -1, True, False, 2**63, 2**64, 10**400, -(10**400),
        1.5, -0.0, math.nan, math.inf, 1 + 2j, FloatSub(2.5), IntSub(2), [], (), {}, [1.0, 2.0, 3.0], set(),
        object(), object, Vec3d, tessary_py, len, Boom("x"), Raising(), RaisingTypeError(), WrongTypes(),
        HugeIndex(), NegativeIndex(), Recursive(), deep,
        np.float64(2.0), np.float32(0.5), np.int64(2), np.uint64(2**64 - 1), np.bool_(True), np.array(1.0),
        np.array([1.0, 2.0, 3.0]),
    ]
    return values + sequence_junk() + list(samples().values())


def signature_parts(function):
    """Positional and keyword-only parameter names from the text signature;
    inspect cannot parse 'from'."""
    inside = function.__text_signature__.strip("()")
    names = [p for p in inside.split(", ") if p and p != "$self"]
    star = names.index("*") if "*" in names else len(names)
    return [p.partition("=")[0] for p in names[:star]], [p.partition("=")[0] for p in names[star + 1:]]


def all_defaulted(function):
    """Whether every positional parameter may be left out (`name=None`)."""
    inside = function.__text_signature__.strip("()")
    positional = [p for p in inside.split(", ") if p and p != "$self"]
    positional = positional[:positional.index("*")] if "*" in positional else positional
    return all(p.endswith("=None") for p in positional)


def parameters(function):
    return signature_parts(function)[0]


def keyword_only(function):
    return signature_parts(function)[1] if getattr(function, "__text_signature__", None) else []


# The refusal of a buffer for results, with both layouts in the message.
OUTPUT_REFUSALS = ("argument 'out': expected a writable C-contiguous buffer of shape (*) and format '?', got *",
                   "argument 'out': the buffer overlaps the elements the results are computed from",
                   "argument 'out': expected a tuple of two buffers (indices, distances), got *",
                   "argument 'out': the indices and the distances overlap")


def callables(name, receiver):
    """(label, callable, parameter names) for every callable of one class,
    or of the geometry module's functions."""
    if name == "functions":
        return [(f, getattr(geometry, f), parameters(getattr(geometry, f)))
                for f in ("plane_line", "circle_point", "circle_point_unchecked", "circle_circle")]
    cls = CLASSES[name]
    title = cls.__name__
    found = []
    if name == title and cls not in NO_CONSTRUCTOR:
        def new(*a, **k):
            return cls.__new__(cls, *a, **k)

        new.__text_signature__ = cls.__text_signature__
        found = [(f"{title}()", cls, parameters(cls)), (f"{title}.__new__", new, parameters(cls))]
    for attribute, raw in vars(cls).items():
        if isinstance(raw, staticmethod):
            function = getattr(cls, attribute)
        elif type(raw).__name__ == "method_descriptor":
            function = getattr(receiver, attribute)
        else:
            continue
        found.append((f"{title}.{attribute}", function, parameters(function)))
    return found


def valid_arguments(function, params, candidates):
    """The first candidate each parameter accepts, found left to right: a
    candidate is refused when the error names its parameter."""
    chosen = []
    for index, param in enumerate(params):
        for candidate in candidates:
            args = chosen + [candidate] * (len(params) - index)
            try:
                function(*args)
            except TypeError as error:
                if str(error).startswith(f"argument '{param}': "):
                    continue
            except (PanicException, ValueError):  # the arguments converted
                pass
            except RuntimeError:  # the receiver itself, refused while the call holds it
                continue
            chosen.append(candidate)
            break
        else:
            raise AssertionError(f"no valid value for {param}")
    return chosen


FIELDS = {cls: [a for a, raw in vars(cls).items() if type(raw).__name__ == "getset_descriptor"]
          for cls in CLASSES.values()}


def state(obj):
    """Exact state of a module object (its properties, bit for bit), or for
    any other object its identity."""
    if isinstance(obj, Vec3d):
        return struct.pack("<3d", *obj)
    if isinstance(obj, VecList):
        return struct.pack(f"<{3 * len(obj)}d", *(c for e in obj.to_array() for c in e))
    if isinstance(obj, KdTree):
        return state(obj.points), repr(obj)
    if isinstance(obj, ResultArray):
        return bytes(memoryview(obj)), memoryview(obj).shape
    if isinstance(obj, RegistrationResult):  # its repr holds every field exactly
        return repr(obj)
    if isinstance(obj, PlaneResult):  # its repr holds every scalar exactly
        return repr(obj), obj.sample, bytes(memoryview(obj.inliers)), bytes(memoryview(obj.mask))
    if isinstance(obj, VoxelGrid):
        return repr(obj), state(obj.centroids), *(bytes(memoryview(r())) for r in (obj.counts, obj.inverse, obj.nearest))
    if type(obj) not in FIELDS:
        return id(obj)
    values = [getattr(obj, a) for a in FIELDS[type(obj)]]
    return tuple(state(v) if isinstance(v, (Vec3d, Quat)) else struct.pack("<d", v) for v in values)


class Battery:
    def __init__(self, name):
        self.name, self.problems = name, []

    def call(self, label, call, watched=(), argument=None, expected=None, kind=TypeError, numpy=None,
             mutated=None):
        """Runs call and returns its outcome, None or (type, message).
        Records a problem if the outcome is not allowed or a watched object
        changed. `argument`: a TypeError must name it; `expected`: the call
        must raise `kind` with a message matching this pattern; `numpy`: an
        array operand, whose own ValueError (broadcasting) is NumPy's;
        `mutated`: a watched object that a successful call may change."""
        before = [state(w) for w in watched]
        outcome = None
        try:
            call()
        except BaseException as error:  # noqa: B036 - PanicException must be seen too
            outcome = (type(error), str(error))
            if not (isinstance(numpy, np.ndarray) and type(error) is ValueError):
                self.check_error(label, error, argument, expected, kind)
        else:
            if expected is not None:
                self.problems.append(f"{label}: no error, expected {expected!r}")
        changed = [w for w, b in zip(watched, before)
                   if state(w) != b and not (outcome is None and w is mutated)]
        if changed:
            self.problems.append(f"{label}: changed {changed!r}")
        return outcome

    def check_error(self, label, error, argument, expected, kind=TypeError):
        text = f"{label}: {type(error).__name__}: {error}"
        if argument == "out" and type(error) in (TypeError, ValueError) and any(
                fnmatch.fnmatchcase(str(error), pattern) for pattern in OUTPUT_REFUSALS):
            pass
        elif type(error) is PanicException:
            if str(error) not in ALLOWED_PANICS.get(self.name, {}).get(re.match(r"[\w.]*", label)[0], ()):
                self.problems.append(f"{text} (panic)")
        elif type(error) is BufferError and ".__buffer__(" in label and str(error) == "Object is not writable.":
            pass  # junk flags that ask for a writable buffer
        elif type(error) is ValueError and argument is not None and fnmatch.fnmatchcase(
                str(error), RANGE_REFUSAL.format(argument)):
            pass  # k below 1, a negative or NaN radius
        elif type(error) is ValueError and re.match(r"[\w.]*", label)[0] in LENGTH_CHECKED:
            if not str(error).startswith(LENGTH_CHECKED[re.match(r"[\w.]*", label)[0]]):
                self.problems.append(f"{text} (length message)")
        elif type(error) is ValueError and re.match(r"[\w.]*", label)[0] in VALUE_CHECKED:
            patterns = VALUE_CHECKED[re.match(r"[\w.]*", label)[0]]
            if not any(fnmatch.fnmatchcase(str(error), p) for p in ((patterns,) if isinstance(patterns, str) else patterns)):
                self.problems.append(f"{text} (value message)")
        elif isinstance(error, SystemError) or not isinstance(error, ALLOWED):
            self.problems.append(f"{text} (exception type)")
        elif type(error) is TypeError and argument is not None:
            if not str(error).startswith(f"argument '{argument}': "):
                self.problems.append(f"{text} (does not name {argument})")
            elif str(error) == f"argument '{argument}': Can't extract `str` to `Vec`":
                pass
            elif fnmatch.fnmatchcase(str(error), f"argument '{argument}': expected an array of shape (*), got (*)"):
                pass  # a buffer of floats in another shape
            elif "cannot be cast as" not in str(error) and not isinstance(error.__cause__, TypeError):
                self.problems.append(f"{text} (no TypeError cause)")
        elif expected is not None:
            if type(error) is not kind or not fnmatch.fnmatchcase(str(error), expected):
                self.problems.append(f"{text} (expected {kind.__name__} {expected!r})")

    def arity(self, label, function, params, valid, watched, full_name):
        """Wrong arities and bad keywords: the interpreter-style messages."""
        if not params and not keyword_only(function):
            self.call(label + "(1)", lambda: function(1), watched, expected="*takes no *arguments*")
            self.call(label + "(k=1)", lambda: function(k=1), watched, expected="*takes no keyword arguments*")
            return
        if params:
            too_many = f"{full_name} takes {len(params)} positional arguments but {len(params) + 1} were given"
        else:  # only keyword-only parameters: the message of a method without any
            too_many = f"{full_name} takes no arguments (1 given)"
        self.call(label + "(+1)", lambda: function(*valid, 1), watched, expected=too_many)
        if params and not all_defaulted(function):
            self.call(label + "()", lambda: function(), watched, expected=f"{full_name} missing *")
            self.call(label + "(dup)", lambda: function(*valid, **{params[0]: valid[0]}), watched,
                      expected=f"{full_name} got multiple values for argument '{params[0]}'")
        names = params[:1] + keyword_only(function)
        for keyword in ("bogus", "\udc80", "x\0", "é", "self", *(name.upper() for name in names)):
            self.call(f"{label}({keyword!r}=)", lambda: function(*valid, **{keyword: 1}), watched,
                      expected=f"{full_name} got an unexpected keyword argument '{keyword}'")

    def arguments(self, label, function, params, valid, watched, junk, mutated=None):
        """Junk in each position, positionally and by keyword alike."""
        for index, param in enumerate(params):
            for value in junk:
                args = list(valid)
                args[index] = value
                outcomes = [
                    self.call(f"{label}[{param}={type(value).__name__}] positional", lambda: function(*args),
                              watched, argument=param, mutated=mutated),
                    self.call(f"{label}[{param}={type(value).__name__}] keyword",
                              lambda: function(**dict(zip(params, args))), watched, argument=param,
                              mutated=mutated),
                ]
                if outcomes[0] != outcomes[1] and RecursionError not in {o and o[0] for o in outcomes}:
                    self.problems.append(f"{label}[{param}]: positional {outcomes[0]} != keyword {outcomes[1]}")

    def properties(self, receiver, junk):
        """Deletion, junk assignments, and the descriptors used on junk."""
        for attribute in FIELDS[type(receiver)]:
            label = f"{type(receiver).__name__}.{attribute}"
            writable = attribute not in READ_ONLY
            self.call(f"del {label}", lambda: delattr(receiver, attribute), [receiver], kind=AttributeError,
                      expected="can't delete attribute" if writable else "*")
            original, before = getattr(receiver, attribute), state(receiver)
            for value in junk:
                if self.call(f"{label} = {type(value).__name__}", lambda: setattr(receiver, attribute, value),
                             argument="value" if writable else None) is None:
                    setattr(receiver, attribute, original)
                elif state(receiver) != before:
                    self.problems.append(f"{label}: changed by a failed assignment of {type(value).__name__}")
            descriptor = vars(type(receiver))[attribute]
            for other in junk:
                self.call(f"{label}.__get__({type(other).__name__})", lambda: descriptor.__get__(other),
                          [receiver, other])
                if type(other) is not type(receiver):
                    self.call(f"{label}.__set__({type(other).__name__})",
                              lambda: descriptor.__set__(other, original), [receiver, other])

    def slots(self, receiver, junk):
        """Operators, comparisons, subscripts, hash, repr, truth and the
        dunder wrappers, with junk on either side and as the receiver."""
        cls = type(receiver)
        operators = [operator.add, operator.sub, operator.mul, operator.truediv, operator.floordiv,
                     operator.mod, operator.pow, operator.matmul, operator.lshift, operator.and_, operator.lt,
                     operator.le, operator.eq, operator.ne, operator.gt, operator.ge]
        for value in junk:
            kind = type(value).__name__
            for op in operators:
                self.call(f"{self.name} {op.__name__} {kind}", lambda: op(receiver, value), [receiver, value],
                          numpy=value)
                self.call(f"{kind} {op.__name__} {self.name}", lambda: op(value, receiver), [receiver, value],
                          numpy=value)
            self.call(f"{self.name}[{kind}]", lambda: receiver[value], [receiver, value])
            for attribute, raw in vars(cls).items():
                if type(raw).__name__ == "wrapper_descriptor":
                    bound = getattr(receiver, attribute)
                    self.call(f"{self.name}.{attribute}({kind})", lambda: bound(value), [receiver, value],
                              numpy=value)
                    self.call(f"{self.name}.{attribute}({kind}, {kind})", lambda: bound(value, value),
                              [receiver, value])
                    self.call(f"{self.name}.{attribute} on {kind}", lambda: raw(value, receiver),
                              [receiver, value])
                elif type(raw).__name__ == "method_descriptor":
                    label = f"{cls.__name__}.{attribute}"
                    if label in MUTATORS and type(value) is VecList:
                        # A copy, so that the junk does not grow from run to run.
                        target = VecList(value)
                        self.call(f"{label} on {kind}", lambda: raw(target, receiver), [receiver])
                    else:
                        self.call(f"{label} on {kind}", lambda: raw(value, receiver), [receiver, value])
        if cls is VecListIterator and [tuple(e) for e in receiver] != ITERATED:
            self.problems.append(f"{self.name}: advanced by a failed call")
        for unary in (lambda: -receiver, lambda: +receiver, lambda: ~receiver, lambda: abs(receiver),
                      lambda: hash(receiver), lambda: repr(receiver), lambda: str(receiver),
                      lambda: bool(receiver), lambda: len(receiver), lambda: list(receiver),
                      lambda: format(receiver, ""), lambda: format(receiver, "x"),
                      lambda: receiver.__reduce_ex__(2), lambda: cls.__new__(int)):
            self.call(f"{self.name} unary", unary, [receiver])
        # float() and int() read any bytes-like object as the text of a
        # number, so for the classes that export a buffer a ValueError is
        # their refusal.
        for conversion in (float, int):
            self.call(f"{self.name} {conversion.__name__}()", lambda: self.text_conversion(conversion, receiver),
                      [receiver])

    @staticmethod
    def text_conversion(conversion, receiver):
        try:
            return conversion(receiver)
        except ValueError:
            memoryview(receiver).release()

    def run(self, junk):
        instances = samples()
        receiver = instances.get(self.name)
        cls = CLASSES.get(self.name)
        if cls in NO_CONSTRUCTOR:
            for text, call in (("()", lambda: cls()), ("(1)", lambda: cls(1)), ("(k=1)", lambda: cls(k=1)),
                               (".__new__", lambda: cls.__new__(cls))):
                self.call(f"{self.name}{text}", call, expected=NO_CONSTRUCTOR[cls])
        # Mutators last, so that the other methods see the receiver as made.
        for label, function, params in sorted(callables(self.name, receiver), key=lambda c: c[0] in MUTATORS):
            # The receiver last: a list cannot extend itself.
            others = [i for i in instances.values() if i is not receiver]
            # Last, rotations for rotate_each and transforms for
            # transform_each, one for each element of the sample list, an
            # axis sequence and a 4x4 matrix.
            valid = valid_arguments(function, params, [1.5, True, *others, receiver, [Quat(0, 1, 0, 0)] * 3,
                                                       [Transform()] * 3, "zyx", np.eye(4), np.zeros((3, 33))])
            watched = [w for w in [receiver, *valid] if w is not None]
            title = label.partition(".")[0].removesuffix("()")
            full_name = f"{title}.__new__()" if label == f"{title}()" else f"{label}()"
            self.arity(label, function, params, valid, watched, full_name)
            self.arguments(label, function, params, valid, watched, junk,
                           mutated=receiver if label in MUTATORS else None)
            for keyword in keyword_only(function):
                for value in junk:
                    self.call(f"{label}[{keyword}={type(value).__name__}]",
                              lambda: function(*valid, **{keyword: value}), watched, argument=keyword)
        if receiver is not None:
            self.properties(receiver, junk)
            self.slots(receiver, junk)
        self.accesses_released([*instances.values(), *junk])
        return self.problems

    def accesses_released(self, objects):
        """Every access taken during the battery was released: each object
        can still be written."""
        writes = {VecList: lambda obj: obj.extend(VecList.empty()), VecListIterator: list}
        for obj in objects:
            for attribute in FIELDS.get(type(obj), ()):
                try:
                    if attribute not in READ_ONLY:
                        setattr(obj, attribute, getattr(obj, attribute))
                except BaseException as error:  # noqa: B036
                    self.problems.append(f"{type(obj).__name__}.{attribute} not writable after: {error!r}")
            try:
                writes.get(type(obj), id)(obj)
            except BaseException as error:  # noqa: B036
                self.problems.append(f"{type(obj).__name__} not writable after: {error!r}")


def main(name):
    """The child's entry: runs the battery, then once more to see that
    neither references nor memory accumulate. Prints one line per problem."""
    junk = junk_values()
    problems = Battery(name).run(junk)
    # Under AddressSanitizer (preloaded) every call's memory is checked as
    # it runs; the balance of references and memory, two runs more at the
    # sanitizer's pace, is the uninstrumented stages' to check.
    if "asan" not in os.environ.get("LD_PRELOAD", ""):
        problems += balance_problems(name, junk)
    for problem in dict.fromkeys(problems):
        print(ascii(problem))


def balance_problems(name, junk):
    """What two more runs of the battery leave behind: references and memory."""
    problems = []
    # A second run first: the interpreter's own caches (warning registries,
    # specialised code) still fill during it, by some kilobytes, where a
    # leak of one object per call would grow by tens of kilobytes a run.
    Battery(name).run(junk)
    # None, small ints and the like are held all over the interpreter, and
    # their counts move with unrelated code.
    watched = list(CLASSES.values()) + [j for j in junk if sys.getrefcount(j) < 100]
    counts = [sys.getrefcount(w) for w in watched]
    tracemalloc.start()
    gc.collect()
    before = tracemalloc.get_traced_memory()[0]
    Battery(name).run(junk)
    gc.collect()  # exceptions caught by the battery hold reference cycles
    grown = tracemalloc.get_traced_memory()[0] - before
    tracemalloc.stop()
    after = [sys.getrefcount(w) for w in watched]
    # Thousands of calls: one leaked small object per call would be far above.
    # The interpreter itself keeps some kilobytes more after each run.
    if grown > 32_000:
        problems.append(f"memory grew by {grown} bytes over one battery")
    for w, count, now in zip(watched, counts, after):
        if now != count:
            problems.append(f"reference count of a {type(w).__name__} moved by {now - count}")
    return problems


@pytest.mark.parametrize("name", [*CLASSES, "functions"])
def test_junk_is_refused_cleanly(name):
    here = os.path.dirname(os.path.abspath(__file__))
    module_dir = os.path.dirname(os.path.abspath(tessary_py.__file__))
    code = (f"import sys; sys.path[:0] = [{module_dir!r}, {here!r}]; "
            f"import test_junk_arguments as t; t.main({name!r})")
    warnings = [f"-W{option}" for option in sys.warnoptions]
    result = subprocess.run([sys.executable, *warnings, "-X", "dev", "-c", code], capture_output=True, text=True,
                            timeout=120)
    assert result.returncode == 0, result.stderr[-3000:]
    assert result.stdout == "", result.stdout[:6000]


@pytest.mark.skipif(not sys.platform.startswith("linux"), reason="reads /proc/self")
@pytest.mark.parametrize("length", [
    2**25,  # 800 MB of elements: reserved even where memory is small
    # 24 TiB: refused by the allocator, and the list is built without the
    # reservation. A sanitizer's allocator aborts instead of refusing.
    # The emulator of the ARM stages maps the guest's address space its own way.
    pytest.param(2**40, marks=[pytest.mark.plain_allocator, pytest.mark.not_emulated]),
])
def test_a_lying_length_reserves_nothing_lasting(length):
    # VecList's constructor sizes its array from len(); when the sequence
    # then yields far fewer items, the list must not keep the reservation.
    class Lying:
        def __len__(self):
            return length

        def __getitem__(self, i):
            if i < 2:
                return Vec3d(i, 0, 0)
            raise IndexError(i)

    def address_space():
        with open("/proc/self/status") as f:
            return next(int(line.split()[1]) << 10 for line in f if line.startswith("VmSize:"))

    before = address_space()
    kept = [VecList(Lying()) for _ in range(8)]
    assert [len(v) for v in kept] == [2] * 8
    assert address_space() - before < 200 << 20
