"""Shows what halvo offers: its classes, functions, exceptions and error codes."""
import halvo


def main() -> None:
    print("halvo offers:")
    for name in halvo.__all__:
        obj = getattr(halvo, name)
        kind = "exception" if isinstance(obj, type) and issubclass(obj, BaseException) else type(obj).__name__
        print(f"  {name:<24} {kind}")
    print("protocol error codes:")
    for name, code in halvo.ERROR_CODES.items():
        print(f"  {name:<24} {code}")


if __name__ == "__main__":
    main()
