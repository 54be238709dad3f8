"""A short tour of tessary_py, printing real results."""

from tessary_py import Vec3d


def show(label, value):
    print(f"{label:<34} {value!r}")


def main():
    v = Vec3d(1, 2, 3)
    w = Vec3d(0.5, -1, 4)
    print("Vectors")
    show("v", v)
    show("w", w)
    show("v + w", v + w)
    show("v - w", v - w)
    show("2 * v", 2 * v)
    show("v.dot(w)", v.dot(w))
    show("v.cross(w)", v.cross(w))
    show("v.magnitude()", v.magnitude())
    show("v.normalize()", v.normalize())
    show("Vec3d(0.6, 0.8, 0).is_unit()", Vec3d(0.6, 0.8, 0).is_unit())
    show("v.distance_to(w)", v.distance_to(w))
    show("v.project_onto_plane(k)", v.project_onto_plane(Vec3d.k()))
    show("Vec3d(1e-7, 1e21, -0.0)", Vec3d(1e-7, 1e21, -0.0))
    show("hash(Vec3d(1, 2, 3))", hash(Vec3d(1, 2, 3)))


if __name__ == "__main__":
    main()
