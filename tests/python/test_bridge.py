import asyncio
import gc
import threading
import time
import weakref

import pytest

import _halvo_test as t
from conftest import interpreters, run_python


async def eventually(predicate, limit=10.0):
    deadline = time.monotonic() + limit
    while not predicate():
        assert time.monotonic() < deadline
        await asyncio.sleep(0.01)


@pytest.mark.asyncio
async def test_result_reaches_the_awaiting_coroutine():
    fut = t.sleep(5, "done")
    assert isinstance(fut, asyncio.Future)
    assert await fut == "done"


@pytest.mark.asyncio
async def test_many_operations_at_once_each_get_their_own_result():
    values = [str(i) for i in range(300)]
    assert await asyncio.gather(*(t.sleep(i % 7, v) for i, v in enumerate(values))) == values


@pytest.mark.asyncio
@pytest.mark.parametrize("what, cls, text", [("boom", RuntimeError, "boom"), ("bad_alloc", MemoryError, "")])
async def test_exception_inside_an_operation_is_raised_to_the_script(what, cls, text):
    with pytest.raises(cls) as info:
        await t.panic(what)
    assert type(info.value) is cls
    assert text in str(info.value)


@pytest.mark.asyncio
async def test_cancelled_operation_stops_and_delivers_nothing(loop_errors):
    finished = t.finished()
    fut = t.sleep(300, "never")
    await eventually(lambda: t.started() > 0)
    fut.cancel()
    with pytest.raises(asyncio.CancelledError):
        await fut
    await asyncio.sleep(0.6)
    assert fut.cancelled()
    assert t.finished() == finished  # dropped at its wait, not run to its end
    assert loop_errors == []


@pytest.mark.asyncio
async def test_cancel_while_the_outcome_is_being_posted_delivers_nothing(loop_errors):
    fut = t.sleep(0, "late")
    # Block the loop so the outcome is posted before the cancel is seen.
    time.sleep(0.3)
    fut.cancel()
    await asyncio.sleep(0.2)
    assert fut.cancelled()
    assert loop_errors == []


@pytest.mark.asyncio
async def test_python_objects_held_by_a_cancelled_task_are_released():
    class Payload:
        pass

    obj = Payload()
    ref = weakref.ref(obj)
    fut = t.hold(10_000, obj)
    del obj
    fut.cancel()
    with pytest.raises(asyncio.CancelledError):
        await fut
    del fut
    await eventually(lambda: (gc.collect(), ref() is None)[1])


@pytest.mark.asyncio
async def test_object_carried_through_a_task_comes_back():
    obj = object()
    assert await t.hold(1, obj) is obj


@pytest.mark.asyncio
async def test_aenter_resolves_to_the_object_itself():
    v = t.Value("x")
    fut = v.__aenter__()
    assert isinstance(fut, asyncio.Future)
    assert await fut is v


def test_no_running_loop_raises_before_any_work():
    # In a fresh interpreter: not even the runtime's threads may appear.
    r = run_python("""
import os, _halvo_test as t
before = len(os.listdir("/proc/self/task"))
for call in (lambda: t.sleep(1, "x"), lambda: t.hold(1, object())):
    try:
        call()
    except RuntimeError as e:
        print("RuntimeError", t.started(), len(os.listdir("/proc/self/task")) - before)
""")
    assert r.stdout.split() == ["RuntimeError", "0", "0"] * 2, r.stderr


def test_each_thread_gets_its_outcome_on_its_own_loop():
    results = {}

    def worker(i):
        async def main():
            fut = t.sleep(5, f"thread {i}")
            assert fut.get_loop() is asyncio.get_running_loop()
            return await fut

        results[i] = asyncio.run(main())

    threads = [threading.Thread(target=worker, args=(i,)) for i in range(4)]
    for th in threads:
        th.start()
    for th in threads:
        th.join(30)
    assert results == {i: f"thread {i}" for i in range(4)}


def test_exit_with_operations_still_pending_is_clean():
    # Outcomes keep arriving while the interpreter finalises; every version
    # must exit with status 0, neither crashing nor hanging.
    code = """
import asyncio, _halvo_test as t
async def main():
    futs = [t.sleep(10_000, "never") for _ in range(20)]
    futs += [t.hold(i % 40, object()) for i in range(300)]
    await asyncio.sleep(0.01)
asyncio.run(main())
print("exiting")
"""
    for version, exe in sorted(interpreters().items()):
        r = run_python(code, python=exe)
        assert (r.returncode, r.stdout.strip()) == (0, "exiting"), f"{version}: {r.stderr[-2000:]}"
        assert "Fatal" not in r.stderr and "Segmentation" not in r.stderr


def test_outcome_for_a_closed_loop_is_reported_on_stderr():
    r = run_python("""
import asyncio, time, _halvo_test as t
async def main():
    global fut
    fut = t.sleep(50, "too late")
asyncio.run(main())
time.sleep(1)
print("alive")
""")
    assert r.returncode == 0, r.stderr
    assert r.stdout.strip() == "alive"
    assert "Event loop is closed" in r.stderr
