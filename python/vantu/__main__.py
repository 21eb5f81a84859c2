"""The demo: ``python -m vantu`` traces a small model and shows what vantu builds."""

import _vantu


def main() -> None:
    s = _vantu.Scope()
    x = s.input("x")
    y = s.input("y")
    r = (x * x + y * y) ** 0.5 - 1.0
    print("traced:", repr(r))
    print("nodes in the graph:", s.n_nodes())
    again = (x * x + y * y) ** 0.5 - 1.0
    print("tracing it again adds nothing:", s.n_nodes())
    del again


if __name__ == "__main__":
    main()
