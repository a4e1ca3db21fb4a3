"""Labels of points in a scatter plot, placed so that no two overlap.

Each label, most important first, takes the free spot nearest its point: candidate spots lie
on rings around the point (16 directions, growing radii), each with the label's box just
outside the ring. A spot is free when the box lies inside the axes, overlaps no label placed
before (with a small gap) and covers none of the labelled points; among the free spots the
one nearest its point wins, each point of the plot that it covers counting as a few pixels
more and a leader line that would cross a label as far more. A label away from its point
gets a thin leader line. A label with no free spot within the largest ring is left out (and
counted), never drawn over another.

The boxes are measured in display pixels once the axes have their final size and limits, so
call :func:`place` after everything else that changes the layout (legends outside the axes,
limits, colour bars). Offsets are set in points, which keeps the layout at any saving dpi.
"""

from typing import Any, List, Optional, Sequence, Tuple

import numpy as np

#: Ring radii around a point, in pixels at the figure's dpi, and the directions tried.
RADII = (4.0, 9.0, 15.0, 22.0, 30.0, 40.0, 52.0, 66.0, 82.0, 100.0, 125.0, 155.0, 190.0, 230.0)
DIRECTIONS = 16
#: Gap between two label boxes, and room left around a labelled point, in pixels.
GAP = 2.0  # more than the light background drawn behind each label (0.1 of the font size)
POINT_ROOM = 5.0
#: What covering one point of the plot costs, in pixels of distance from the labelled point.
COVER_COST = 2.0


def _overlaps(box: np.ndarray, boxes: np.ndarray, gap: float) -> np.ndarray:
    """Which of `boxes` (n x 4: x0, y0, x1, y1) come within `gap` of `box`."""
    if boxes.size == 0:
        return np.zeros(0, dtype=bool)
    return (
        (boxes[:, 0] < box[2] + gap)
        & (boxes[:, 2] > box[0] - gap)
        & (boxes[:, 1] < box[3] + gap)
        & (boxes[:, 3] > box[1] - gap)
    )


def _near_side(box: np.ndarray, centre: np.ndarray, anchor: np.ndarray) -> Tuple[str, str, np.ndarray]:
    """The alignment of a label in `box` by its side nearest `anchor` (centred on an axis
    where the box spans the anchor), and the point of the box that alignment puts there."""
    if box[0] >= anchor[0]:
        ha, x = "left", box[0]
    elif box[2] <= anchor[0]:
        ha, x = "right", box[2]
    else:
        ha, x = "center", centre[0]
    if box[1] >= anchor[1]:
        va, y = "bottom", box[1]
    elif box[3] <= anchor[1]:
        va, y = "top", box[3]
    else:
        va, y = "center", centre[1]
    return ha, va, np.asarray([x, y])


def _within(points: np.ndarray, box: np.ndarray) -> np.ndarray:
    return (points[:, 0] >= box[0]) & (points[:, 0] <= box[2]) & (points[:, 1] >= box[1]) & (points[:, 1] <= box[3])


def _inside(points: np.ndarray, box: np.ndarray) -> int:
    """How many of `points` (n x 2) lie in `box`."""
    return int(np.count_nonzero(_within(points, box))) if points.size else 0


def place(
    ax: Any,
    x: Sequence[float],
    y: Sequence[float],
    texts: Sequence[str],
    others: Tuple[np.ndarray, np.ndarray] = (np.zeros(0), np.zeros(0)),
    fontsize: float = 7.0,
    room: float = POINT_ROOM,
    colors: Optional[Sequence[Any]] = None,
    **text_options: Any,
) -> Tuple[List[Any], int]:
    """Label the points (`x`, `y`, data coordinates) with `texts`, most important first;
    `others` are the plot's other points (covered as little as possible), `room` the pixels
    kept free around each labelled point, `colors` one text colour per label. Returns the
    annotations drawn and the number of labels left out for lack of room."""
    figure = ax.figure
    renderer = figure.canvas.get_renderer()
    to_display = ax.transData.transform
    anchors = (
        to_display(np.column_stack([np.asarray(x, float), np.asarray(y, float)])) if len(texts) else np.zeros((0, 2))
    )
    if len(others[0]):
        crowd = to_display(np.column_stack([np.asarray(others[0], float), np.asarray(others[1], float)]))
        crowd = crowd[np.isfinite(crowd).all(axis=1)]
    else:
        crowd = np.zeros((0, 2))
    frame = ax.get_window_extent(renderer)
    limits = np.asarray([frame.x0, frame.y0, frame.x1, frame.y1])
    angles = np.arange(DIRECTIONS) * (2 * np.pi / DIRECTIONS) + np.pi / 4  # up and right first
    cos, sin = np.cos(angles), np.sin(angles)
    points_per_pixel = 72.0 / figure.dpi
    placed: List[np.ndarray] = []
    leaders: List[np.ndarray] = []  # points along the leader lines drawn
    drawn: List[Any] = []
    left_out = 0
    for k, text in enumerate(texts):
        anchor = anchors[k]
        if not np.isfinite(anchor).all():
            left_out += 1
            continue
        style = dict(text_options, color=colors[k]) if colors is not None else text_options
        probe = ax.annotate(text, (x[k], y[k]), ha="center", va="center", fontsize=fontsize, **style)
        extent = probe.get_window_extent(renderer)
        probe.remove()
        half = np.asarray([extent.width, extent.height]) / 2.0
        # Candidate centres, ring by ring: the box just outside the ring in each direction.
        centres = np.concatenate([anchor + np.column_stack([(r + half[0]) * cos, (r + half[1]) * sin]) for r in RADII])
        radii = np.repeat(np.asarray(RADII), DIRECTIONS)
        boxes = np.column_stack([centres - half, centres + half])
        inside = (
            (boxes[:, 0] >= limits[0])
            & (boxes[:, 1] >= limits[1])
            & (boxes[:, 2] <= limits[2])
            & (boxes[:, 3] <= limits[3])
        )
        free = inside.copy()
        taken = np.asarray(placed) if placed else np.zeros((0, 4))
        for j in np.flatnonzero(free):
            if (
                _overlaps(boxes[j], taken, GAP).any()
                or _overlaps(boxes[j], np.column_stack([anchors - room, anchors + room]), 0.0).any()
            ):
                free[j] = False
        if not free.any():
            left_out += 1
            continue
        spots = np.flatnonzero(free)
        reach = RADII[-1] + half.max() * 2
        near = crowd[(np.abs(crowd - anchor) <= reach).all(axis=1)] if crowd.size else crowd
        lines = np.concatenate(leaders) if leaders else np.zeros((0, 2))
        steps = np.linspace(0.0, 1.0, 25)[:, None]
        cost = np.empty(spots.size)
        for n, j in enumerate(spots):
            # Points of the plot under the box, and leader lines crossed (this one's through
            # the labels placed, the others' through this box) as far worse.
            leader = anchor + steps * (centres[j] - anchor)
            crossings = _inside(lines, boxes[j]) + sum(_inside(leader, box) for box in placed)
            cost[n] = radii[j] + COVER_COST * _inside(near, boxes[j]) + 1000.0 * crossings
        best = spots[int(np.argmin(cost))]
        placed.append(boxes[best])
        if radii[best] > max(RADII[0], room + 2.0):
            outside = anchor + steps * (centres[best] - anchor)
            leaders.append(outside[~_within(outside, boxes[best])])
        # The text is aligned by its side nearest the point: a text's width in pixels does
        # not scale exactly with the dpi it is saved at (hinting; up to about 8%), so a
        # centred text would creep towards its point at a higher dpi.
        ha, va, at = _near_side(boxes[best], centres[best], anchor)
        offset = (at - anchor) * points_per_pixel
        far = radii[best] > max(RADII[0], room + 2.0)
        drawn.append(
            ax.annotate(
                text,
                (x[k], y[k]),
                xytext=(float(offset[0]), float(offset[1])),
                textcoords="offset points",
                ha=ha,
                va=va,
                fontsize=fontsize,
                arrowprops=dict(
                    arrowstyle="-", color="0.35", linewidth=0.5, shrinkA=0.0, shrinkB=room * points_per_pixel
                )
                if far
                else None,
                bbox=dict(boxstyle="square,pad=0.1", facecolor="white", edgecolor="none", alpha=0.65),
                **style,
            )
        )
    return drawn, left_out


def text_boxes(ax: Any) -> np.ndarray:
    """The display boxes (n x 4) of the texts of `ax` (annotations without their arrows)."""
    from matplotlib.text import Text  # type: ignore[import]

    renderer = ax.figure.canvas.get_renderer()
    boxes = []
    for text in ax.texts:
        if hasattr(text, "update_positions"):
            text.update_positions(renderer)  # an annotation's offset, as drawing sets it
        boxes.append(Text.get_window_extent(text, renderer))
    return np.asarray([[b.x0, b.y0, b.x1, b.y1] for b in boxes]).reshape(-1, 4)


def overlapping(boxes: np.ndarray) -> List[Tuple[int, int]]:
    """The pairs of `boxes` that overlap."""
    return [
        (i, j)
        for i in range(len(boxes))
        for j in range(i + 1, len(boxes))
        if _overlaps(boxes[i], boxes[j : j + 1], 0.0)[0]
    ]
