"""Write-back, offload safety and sizing against real torch objects: modules,
optimizers, parameters that require grad, tensors that refuse writes. GPUs are
stood in for by tensors whose is_cuda answers True. Run by make test-torch."""

import pickle
import types

import pytest

torch = pytest.importorskip("torch")
from corvid import overflow as ov  # noqa: E402

pytestmark = pytest.mark.torch
R = ov.Reason


class OnCuda(torch.Tensor):
    is_cuda = property(lambda self: True)


class NoDevice(torch.Tensor):
    @property
    def is_cuda(self):
        raise RuntimeError("device gone")


def Trainer(net, opt):
    return types.SimpleNamespace(net=net, opt=opt, steps=0)


def setup():
    torch.manual_seed(0)
    net = torch.nn.Linear(4, 2)
    return net, torch.optim.SGD(net.parameters(), lr=0.1, momentum=0.9), torch.randn(8, 4)


def train(net, opt, x, steps=1):
    for _ in range(steps):
        opt.zero_grad()
        net(x).pow(2).mean().backward()
        opt.step()


def cuda_net():
    net = torch.nn.Linear(2, 2)
    net.register_buffer("scale", torch.ones(1).as_subclass(OnCuda))
    return net


@pytest.fixture
def mon():
    m = ov._OverflowMonitor(policy="always", verbose=False, max_payload_bytes=4000)
    yield m
    m.stop()


def forward(net, x):
    return net(x).sum()


def closure_over(net):
    def run(x):
        return net(x)
    return run


def test_classification_offload_safety_and_sync_checks(mon):
    net, opt, x = setup()
    net.history = [0.5]
    for obj, sync in [(net, ov._sync_module), (opt, ov._sync_optimizer), (x, ov._sync_tensor),
                      (net.weight, ov._sync_tensor)]:
        assert ov._roundtrippable(obj) is sync and ov._arg_state_class(obj) == "sync"
    assert ov._arg_state_class([x]) == "unsyncable"               # a list holding a tensor
    assert ov._object_attr_syncs(Trainer(net, opt)) == {"net": ov._sync_module, "opt": ov._sync_optimizer}
    assert ov._fully_syncable(net) and ov._fully_syncable(Trainer(net, opt))
    net._cache = [[1]]                                              # private: the module's own sync covers it
    assert ov._fully_syncable(net)
    net.history = [[0.5]]
    assert not ov._fully_syncable(net)
    assert mon._needs_writeback((Trainer(net, opt),), {}) and mon._needs_writeback((), {"x": x})
    assert not mon._needs_writeback((3, "a"), {"k": (1.0, None)})
    for obj, size in [(torch.zeros(10, 10, dtype=torch.float64), 800),
                      (torch.zeros(10, 10, dtype=torch.float64)[:, ::2], 400),   # a view: its own elements
                      (torch.nn.Parameter(torch.zeros(3, 5)), 60), ([torch.zeros(4, dtype=torch.int8)] * 3, 12),
                      ({"a": torch.zeros(2, dtype=torch.int16), "b": b"xyz"}, 7)]:
        assert ov._obj_size(obj) == size

    net, _, x = setup()
    odd, _, _ = setup()
    odd.log = [[1]]                                                  # a public attribute with no sync
    for func, args, is_method, reason in [
        (forward, (net, x), False, None),
        (closure_over(net), (x,), False, None),
        (forward, (odd, x), False, None),                            # only a method's self is looked into
        (forward, (odd, x), True, R.UNSYNCABLE_MUTATION),
        (forward, (net, x.as_subclass(OnCuda)), False, R.LIVE_CUDA),
        (forward, (cuda_net(), x), False, R.LIVE_CUDA),
        (closure_over(cuda_net()), (x,), False, R.LIVE_CUDA),
        (forward, (net, [x]), False, R.UNSYNCABLE_MUTATION),
        (forward, (torch.zeros(1000),), False, None),                # 4000 bytes: at the limit
        (forward, (torch.zeros(1001),), False, R.TOO_LARGE),
    ]:
        got = mon._offload_safety(func, args, {}, is_method)
        assert (got is ov._OFFLOAD) if reason is None else (got.reason is reason)
    fake = x.as_subclass(OnCuda)  # the probes themselves: one level into containers, buffers too
    assert not any(map(ov._obj_has_live_cuda, [net, x, net.weight]))
    assert ov._obj_has_live_cuda(fake) and ov._obj_has_live_cuda(cuda_net())
    assert ov._has_live_cuda_tensor((), {"d": {"k": fake}}) and not ov._has_live_cuda_tensor(([[fake]],), {})

    net, opt, x = setup()
    local = torch.nn.Parameter(torch.zeros(3))
    ov._sync_tensor(local, torch.arange(3.0))
    assert local.requires_grad and local.tolist() == [0.0, 1.0, 2.0]
    bad = [
        (ov._sync_tensor, local, [1.0, 2.0, 3.0], "tensor write-back type mismatch"),
        (ov._sync_tensor, local, torch.zeros(4), "tensor write-back shape/dtype mismatch"),
        (ov._sync_tensor, local, torch.zeros(3, dtype=torch.float64), "tensor write-back shape/dtype mismatch"),
        (ov._sync_tensor, local, torch.zeros(3).as_subclass(OnCuda), "tensor write-back on cuda unsupported"),
        (ov._sync_tensor, torch.zeros(3).as_subclass(OnCuda), local, "tensor write-back on cuda unsupported"),
        (ov._sync_tensor, torch.zeros(3).as_subclass(NoDevice), local, "tensor device probe failed: device gone"),
        (ov._sync_tensor, torch.zeros(1).expand(3), local, "tensor copy_ failed: "),   # one element, three views
        (ov._sync_module, net, opt, "module write-back type mismatch"),
        (ov._sync_module, net, torch.nn.Linear(4, 3), "module load_state_dict failed: "),
        (ov._sync_optimizer, opt, net, "optimizer write-back type mismatch"),
        (ov._sync_optimizer, opt, torch.optim.SGD([{"params": [x]}, {"params": [local]}]),
         "optimizer load_state_dict failed: "),
    ]
    before = {k: v.clone() for k, v in net.state_dict().items()}
    for sync, target, remote, message in bad:
        with pytest.raises(ov._StateSyncError) as err:
            sync(target, remote)
        assert str(err.value).startswith(message) and (message.endswith(": ") or str(err.value) == message)
    assert all(torch.equal(before[k], v) for k, v in net.state_dict().items())


@pytest.mark.parametrize("packed", [False, True], ids=["arguments", "attributes"])
def test_apply_writeback_carries_remote_training(mon, packed):
    net, opt, x = setup()
    params = list(net.parameters())
    args = (Trainer(net, opt), x) if packed else (net, opt, x)
    remote = pickle.loads(pickle.dumps(args))          # what the remote run worked on
    r_net, r_opt = (remote[0].net, remote[0].opt) if packed else remote[:2]
    train(r_net, r_opt, remote[-1])
    if packed:
        remote[0].steps = 1
    mon._apply_writeback(args, {}, remote, {})
    assert all(p is q and p.requires_grad for p, q in zip(net.parameters(), params))
    assert all(torch.equal(p, q) for p, q in zip(params, r_net.parameters()))
    assert set(opt.state) == set(params)                # momentum now keyed by the caller's parameters
    assert not packed or args[0].steps == 0             # an atom attribute is not transferred
    train(net, opt, x)                                  # a second step here continues the remote one
    ref_net, ref_opt, _ = setup()
    train(ref_net, ref_opt, x, 2)
    assert all(torch.allclose(p, q) for p, q in zip(params, ref_net.parameters()))
