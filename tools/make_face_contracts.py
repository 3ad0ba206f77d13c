#!/usr/bin/python3
"""Writes the small ONNX networks that stand in for the face models that
have no real counterpart here. Each one meets the input and output contract
of its model type exactly and computes a fixed function of its input, so the
tests know every correct answer.

Run with Debian's python3 (python3-onnx, python3-numpy):
  /usr/bin/python3 tools/make_face_contracts.py tests/data

The classifier inputs are (1, 3, 8, 8) blobs; "m" below is the per-channel mean of
the blob (channel 0 is blue unless the model swaps channels), that is the
pixel value times the model's input scale for a solid crop.

face_binary_classifier.onnx  (1, 2) = [m0, m2]. Serves every two-label
    classifier (have-glass, beard, mask, spoof, gender): a blue crop gives
    the first label, a red crop the second.
face_mtl_contract.onnx  (1, 10): softmax over k = 0..6 of -4 (6 m0 - k)^2
    (emotion k wins when m0 = k / 6), then [1 - m1, m1] (female, male), then
    100 m2 (age in years).
face_landmark_contract.onnx  (1, 16): o[0..13] constants (points and box
    regression, see LANDMARK_CONSTANTS), o[14] = mean of the left half of
    the blob (columns 0-3, all channels), o[15] = mean of the right half.
    With a white frame and input scale 1/255, o[15] is the share of the crop
    that was inside the frame on the right.
face_head_pose_contract.onnx  outputs "angle_y_fc" = m0 - 100,
    "angle_p_fc" = m1 - 100, "angle_r_fc" = m2 - 100, each (1, 1).
face_person_ssd_contract.onnx  input "data" (1, 3, h, w) of any size;
    SSD rows (image, class, confidence, left, top, right, bottom) on two
    outputs, "detection_out_face" (1, 1, 2, 7) = FACE_PERSON_FACE_ROWS and
    "detection_out_pedestrian" (1, 1, 2, 7) = FACE_PERSON_PERSON_ROWS,
    whatever the image (the rows are constants added to zero times the
    image's channel means). Serves the combined face-and-person model.
person_ssd_contract.onnx  the same input; one output (1, 1, 2, 7) =
    PERSON_ROWS (class 1: a "person" model whose labels have no "face").
face_eye_gaze_contract.onnx  inputs "left_eye_image", "right_eye_image"
    (1, 3, 8, 8) and "head_pose_angles" (1, 3) = (yaw, pitch, roll); output
    "gaze" (1, 3) = (pitch, yaw + 100 (L - R), 100) where L and R are the
    mean of all channels of the left and right eye blobs.
"""
import os
import sys

import numpy as np
import onnx
from onnx import TensorProto, helper, numpy_helper

OPSET = 11

LANDMARK_CONSTANTS = [0.30, 0.70, 0.50, 0.35, 0.65,
                      0.40, 0.42, 0.60, 0.80, 0.78,
                      0.05, 0.10, -0.05, -0.10]


# (image, class, confidence, left, top, right, bottom), relative to the image.
FACE_PERSON_FACE_ROWS = [[0, 1, 0.9, 0.40, 0.20, 0.50, 0.40],
                         [0, 1, 0.005, 0.0, 0.0, 0.1, 0.1]]
FACE_PERSON_PERSON_ROWS = [[0, 2, 0.8, 0.30, 0.10, 0.60, 0.95],
                           [0, 2, 0.7, 0.80, 0.60, 0.95, 0.95]]
PERSON_ROWS = [[0, 1, 0.8, 0.30, 0.10, 0.60, 0.95],
               [0, 0, 0.9, 0.80, 0.60, 0.95, 0.95]]


def save(graph, path):
    model = helper.make_model(
        graph, producer_name="kestu-tests",
        opset_imports=[helper.make_opsetid("", OPSET)])
    model.ir_version = 7
    onnx.checker.check_model(model)
    onnx.save(model, path)


def const(name, array):
    return numpy_helper.from_array(np.asarray(array, dtype=np.float32), name)


def image_input(name):
    return helper.make_tensor_value_info(name, TensorProto.FLOAT, [1, 3, 8, 8])


def channel_means(source, out):
    """Nodes turning a (1, 3, 8, 8) tensor into its (1, 3) channel means."""
    return [
        helper.make_node("GlobalAveragePool", [source], [out + "_pooled"]),
        helper.make_node("Flatten", [out + "_pooled"], [out], axis=1),
    ]


def binary_classifier(path):
    nodes = channel_means("data", "m") + [
        helper.make_node("MatMul", ["m", "pick"], ["scores"]),
    ]
    pick = [[1, 0], [0, 0], [0, 1]]
    graph = helper.make_graph(
        nodes, "face_binary_classifier", [image_input("data")],
        [helper.make_tensor_value_info("scores", TensorProto.FLOAT, [1, 2])],
        [const("pick", pick)])
    save(graph, path)


def mtl_contract(path):
    emotion_weights = np.zeros((3, 7))
    emotion_weights[0, :] = 6.0
    emotion_bias = -np.arange(7, dtype=np.float64).reshape(1, 7)
    gender_weights = [[0, 0], [-1, 1], [0, 0]]
    gender_bias = [[1, 0]]
    age_weights = [[0], [0], [100]]
    nodes = channel_means("data", "m") + [
        helper.make_node("MatMul", ["m", "emotion_w"], ["emotion_lin"]),
        helper.make_node("Add", ["emotion_lin", "emotion_b"], ["emotion_d"]),
        helper.make_node("Mul", ["emotion_d", "emotion_d"], ["emotion_sq"]),
        helper.make_node("Mul", ["emotion_sq", "minus_four"], ["emotion_logit"]),
        helper.make_node("Softmax", ["emotion_logit"], ["emotion"], axis=1),
        helper.make_node("MatMul", ["m", "gender_w"], ["gender_lin"]),
        helper.make_node("Add", ["gender_lin", "gender_b"], ["gender"]),
        helper.make_node("MatMul", ["m", "age_w"], ["age"]),
        helper.make_node("Concat", ["emotion", "gender", "age"], ["mtl"],
                         axis=1),
    ]
    graph = helper.make_graph(
        nodes, "face_mtl_contract", [image_input("data")],
        [helper.make_tensor_value_info("mtl", TensorProto.FLOAT, [1, 10])],
        [const("emotion_w", emotion_weights), const("emotion_b", emotion_bias),
         const("minus_four", [[-4.0]]), const("gender_w", gender_weights),
         const("gender_b", gender_bias), const("age_w", age_weights)])
    save(graph, path)


def landmark_contract(path):
    halves = np.zeros((2, 3, 8, 8))
    halves[0, :, :, 0:4] = 1.0 / 96.0
    halves[1, :, :, 4:8] = 1.0 / 96.0
    nodes = [
        helper.make_node("Conv", ["data", "halves_w"], ["halves_map"],
                         kernel_shape=[8, 8]),
        helper.make_node("Flatten", ["halves_map"], ["halves"], axis=1),
        helper.make_node("MatMul", ["halves", "zero_w"], ["zero"]),
        helper.make_node("Add", ["zero", "points_b"], ["points"]),
        helper.make_node("Concat", ["points", "halves"], ["align"], axis=1),
    ]
    graph = helper.make_graph(
        nodes, "face_landmark_contract", [image_input("data")],
        [helper.make_tensor_value_info("align", TensorProto.FLOAT, [1, 16])],
        [const("halves_w", halves), const("zero_w", np.zeros((2, 14))),
         const("points_b", [LANDMARK_CONSTANTS])])
    save(graph, path)


def head_pose_contract(path):
    nodes = channel_means("data", "m")
    initializers = [const("minus_hundred", [[-100.0]])]
    outputs = []
    for channel, name in enumerate(["angle_y_fc", "angle_p_fc", "angle_r_fc"]):
        pick = np.zeros((3, 1))
        pick[channel, 0] = 1.0
        initializers.append(const(name + "_w", pick))
        nodes += [
            helper.make_node("MatMul", ["m", name + "_w"], [name + "_lin"]),
            helper.make_node("Add", [name + "_lin", "minus_hundred"], [name]),
        ]
        outputs.append(
            helper.make_tensor_value_info(name, TensorProto.FLOAT, [1, 1]))
    graph = helper.make_graph(nodes, "face_head_pose_contract",
                              [image_input("data")], outputs, initializers)
    save(graph, path)


def eye_gaze_contract(path):
    angle_weights = [[0, 1, 0],   # yaw -> g1
                     [1, 0, 0],   # pitch -> g0
                     [0, 0, 0]]   # roll unused
    nodes = (channel_means("left_eye_image", "left_m") +
             channel_means("right_eye_image", "right_m") + [
        helper.make_node("Sub", ["left_m", "right_m"], ["eye_diff3"]),
        helper.make_node("MatMul", ["eye_diff3", "eye_w"], ["eye_term"]),
        helper.make_node("MatMul", ["head_pose_angles", "angle_w"],
                         ["angle_term"]),
        helper.make_node("Add", ["eye_term", "angle_term"], ["gaze_lin"]),
        helper.make_node("Add", ["gaze_lin", "gaze_b"], ["gaze"]),
    ])
    eye_weights = np.zeros((3, 3))
    eye_weights[:, 1] = 100.0 / 3.0
    graph = helper.make_graph(
        nodes, "face_eye_gaze_contract",
        [image_input("left_eye_image"), image_input("right_eye_image"),
         helper.make_tensor_value_info("head_pose_angles", TensorProto.FLOAT,
                                       [1, 3])],
        [helper.make_tensor_value_info("gaze", TensorProto.FLOAT, [1, 3])],
        [const("eye_w", eye_weights), const("angle_w", angle_weights),
         const("gaze_b", [[0, 0, 100]])])
    save(graph, path)


def any_size_image_input(name):
    return helper.make_tensor_value_info(name, TensorProto.FLOAT,
                                         [1, 3, "h", "w"])


def constant_rows(source, rows, out):
    """Nodes giving `rows` as a (1, 1, n, 7) tensor that still depends on
    the (1, 3) tensor `source` (times zero), so that no importer folds the
    network into a constant."""
    flat = np.asarray(rows, dtype=np.float64).reshape(1, -1)
    return ([
        helper.make_node("MatMul", [source, out + "_zero"], [out + "_z"]),
        helper.make_node("Add", [out + "_z", out + "_rows"], [out + "_flat"]),
        helper.make_node("Reshape", [out + "_flat", out + "_shape"], [out]),
    ], [
        const(out + "_zero", np.zeros((3, flat.shape[1]))),
        const(out + "_rows", flat),
        numpy_helper.from_array(
            np.asarray([1, 1, len(rows), 7], dtype=np.int64), out + "_shape"),
    ])


def face_person_ssd_contract(path):
    face_nodes, face_inits = constant_rows("m", FACE_PERSON_FACE_ROWS,
                                           "detection_out_face")
    person_nodes, person_inits = constant_rows(
        "m", FACE_PERSON_PERSON_ROWS, "detection_out_pedestrian")
    graph = helper.make_graph(
        channel_means("data", "m") + face_nodes + person_nodes,
        "face_person_ssd_contract", [any_size_image_input("data")],
        [helper.make_tensor_value_info("detection_out_face",
                                       TensorProto.FLOAT, [1, 1, 2, 7]),
         helper.make_tensor_value_info("detection_out_pedestrian",
                                       TensorProto.FLOAT, [1, 1, 2, 7])],
        face_inits + person_inits)
    save(graph, path)


def person_ssd_contract(path):
    nodes, inits = constant_rows("m", PERSON_ROWS, "detection_out")
    graph = helper.make_graph(
        channel_means("data", "m") + nodes, "person_ssd_contract",
        [any_size_image_input("data")],
        [helper.make_tensor_value_info("detection_out", TensorProto.FLOAT,
                                       [1, 1, 2, 7])],
        inits)
    save(graph, path)


def main():
    out = sys.argv[1] if len(sys.argv) > 1 else "tests/data"
    os.makedirs(out, exist_ok=True)
    binary_classifier(os.path.join(out, "face_binary_classifier.onnx"))
    mtl_contract(os.path.join(out, "face_mtl_contract.onnx"))
    landmark_contract(os.path.join(out, "face_landmark_contract.onnx"))
    head_pose_contract(os.path.join(out, "face_head_pose_contract.onnx"))
    eye_gaze_contract(os.path.join(out, "face_eye_gaze_contract.onnx"))
    face_person_ssd_contract(
        os.path.join(out, "face_person_ssd_contract.onnx"))
    person_ssd_contract(os.path.join(out, "person_ssd_contract.onnx"))


if __name__ == "__main__":
    main()
