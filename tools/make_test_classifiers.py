#!/usr/bin/python3
"""Writes the small ONNX classifiers that the vision tests load.

Run with Debian's python3 (python3-onnx, python3-numpy):
  /usr/bin/python3 tools/make_test_classifiers.py tests/data

channel_mean.onnx  input (1, 3, 4, 4) -> (1, 3): the mean of each input
                   channel. With a solid frame the outputs are known exactly:
                   (pixel - mean) * scale per channel.
"""
import os
import sys

import numpy as np
import onnx
from onnx import TensorProto, helper, numpy_helper

OPSET = 11


def save(graph, path):
    model = helper.make_model(
        graph, producer_name="kestu-tests",
        opset_imports=[helper.make_opsetid("", OPSET)])
    model.ir_version = 7
    onnx.checker.check_model(model)
    onnx.save(model, path)


def channel_mean(path):
    nodes = [
        helper.make_node("GlobalAveragePool", ["data"], ["pooled"]),
        helper.make_node("Flatten", ["pooled"], ["mean"], axis=1),
    ]
    graph = helper.make_graph(
        nodes, "channel_mean",
        [helper.make_tensor_value_info("data", TensorProto.FLOAT, [1, 3, 4, 4])],
        [helper.make_tensor_value_info("mean", TensorProto.FLOAT, [1, 3])])
    save(graph, path)


def main():
    out = sys.argv[1] if len(sys.argv) > 1 else "tests/data"
    os.makedirs(out, exist_ok=True)
    channel_mean(os.path.join(out, "channel_mean.onnx"))


if __name__ == "__main__":
    main()
