"""What the stubs must take: every shape of argument the module accepts, as a
caller's own annotated values hold them. Checked by mypy --strict, never run."""
import pathlib

import halvo
from halvo import ConsoleClient, ConsoleClientBuilder, Directory, ImageClient, Recipe, Step


def recipes(texts: list[str], steps: list[Step], mixed: list[Step | str],
            texts_tuple: tuple[str, ...], steps_tuple: tuple[Step, ...]) -> list[Recipe]:
    return [
        Recipe("alpine"),
        Recipe("alpine", texts),
        Recipe("alpine", steps),
        Recipe("alpine", mixed),
        Recipe("alpine", texts_tuple),
        Recipe("alpine", steps_tuple),
        Recipe("alpine", ["echo a", Step.workdir("/w")]),
        Recipe("alpine", []),
        Recipe("alpine", ()),
        Recipe("alpine", steps=texts).steps(texts).steps(steps).steps(mixed).steps(steps_tuple),
        Recipe("alpine").step("echo a").step(Step.env("K", "V")),
    ]


def command_lines(cmd: list[str], cmd_tuple: tuple[str, ...], ports: list[str]) -> ConsoleClientBuilder:
    ImageClient.try_from_cmd(cmd)
    ImageClient.try_from_cmd(cmd_tuple)
    return ConsoleClientBuilder().cmd(cmd).cmd(cmd_tuple).cmd(["halvo-uvm"]).ports(ports).ports(("8080:80",))


async def commands(console: ConsoleClient, cmd: list[str], cmd_tuple: tuple[str, ...]) -> int:
    first = await console.exec(cmd)
    second = await console.exec(cmd_tuple, timeout_ms=1000)
    return first.code + second.code


async def contents(console: ConsoleClient, data: bytes, buffer: bytearray, numbers: list[int]) -> int:
    Directory().with_file("a", data).add_file("b", buffer)
    Directory().with_file("a", numbers).with_file(pathlib.Path("b"), "text")
    ConsoleClientBuilder().snapshot(data).snapshot(buffer).snapshot(numbers)
    return await console.write("/f", numbers, offset=3) + await console.write("/g", "text")


def refused_code() -> int:
    # A refusal made by the script itself still has a code.
    return halvo.ConsoleRefused("no").code
