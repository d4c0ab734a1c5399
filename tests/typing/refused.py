"""What the stubs must refuse, each for its own reason. Every refused line
carries the one error code mypy must give it: under --warn-unused-ignores a
line mypy lets through, or flags for another reason, fails the check.
Checked by mypy --strict, never run."""
from halvo import ConsoleClient, ConsoleClientBuilder, Directory, ImageClient, Recipe, Step


async def lone_strings(console: ConsoleClient) -> None:
    # The module takes a list or a tuple: a str would be a list of letters.
    Recipe("alpine", "echo a")  # type: ignore[call-overload]
    Recipe("alpine").steps("echo a")  # type: ignore[call-overload]
    ConsoleClientBuilder().cmd("halvo-uvm")  # type: ignore[arg-type]
    ConsoleClientBuilder().ports("8080:80")  # type: ignore[arg-type]
    ImageClient.try_from_cmd("halvo-uvm")  # type: ignore[arg-type]
    await console.exec("ls")  # type: ignore[arg-type]
    # Snapshot bytes are never text.
    ConsoleClientBuilder().snapshot("blob")  # type: ignore[arg-type]


def wrong_items(numbers: list[int], steps: list[Step]) -> None:
    Recipe("alpine", numbers)  # type: ignore[arg-type]
    ConsoleClientBuilder().cmd(steps)  # type: ignore[arg-type]
    Directory().add_file("a", 3)  # type: ignore[arg-type]


def values_have_no_order(a: Recipe, b: Step) -> None:
    a < a  # type: ignore[operator]
    b >= b  # type: ignore[operator]
