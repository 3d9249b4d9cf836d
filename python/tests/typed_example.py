"""A typed use of the package, checked by mypy against its stub (test_stub.py runs it)."""
import numpy as np
import numpy.typing as npt

import qz_grindlet


def crush(audio: npt.NDArray[np.float32], sample_rate: int) -> npt.NDArray[np.float32]:
    out = np.empty_like(audio)
    qz_grindlet.process(audio, sample_rate, bits=np.float64(6.5), rate=(11025, 4000),
                        quantize="round", law="mu-law", block=np.int64(256), out=out)
    stream = qz_grindlet.Grindlet(sample_rate, 2, channels_last=False, tone=3000.0)
    stream.set(bits=8, dither="tpdf")
    return stream.process(out)


def augment(batch: npt.NDArray[np.float64]) -> npt.NDArray[np.float64]:
    transform = qz_grindlet.RandomGrindlet(0.5, bits=(4, 12), rate=(2000, 8000),
                                           quantize=["round", "floor"], law="mu-law", seed=7)
    out, params = transform(batch, 16000, key=3, epoch=1, return_params=True)
    transform.set_epoch(2)
    return transform(out, 16000)
