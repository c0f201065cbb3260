// Where a dialog goes when it opens: centred on its owner (or on the work
// area when there is no usable owner), then pushed back inside the work
// area. Plain arithmetic, so it is tested without a display.
#pragma once

namespace velmora {

struct Box {
  long left = 0, top = 0, right = 0, bottom = 0;
  long Width() const { return right - left; }
  long Height() const { return bottom - top; }
};

// One axis: centre [start, start+size) on [anchorLo, anchorHi), then keep
// it inside [areaLo, areaHi), preferring the low edge when it cannot fit.
inline long CentreOnAxis(long size, long anchorLo, long anchorHi, long areaLo, long areaHi) {
  long start = anchorLo + ((anchorHi - anchorLo) - size) / 2;
  if (start < areaLo) {
    start = areaLo;
  } else if (start + size > areaHi) {
    start = areaHi - size;
  }
  return start;
}

// `owner` is null when the dialog has no owner or it is hidden or minimised.
inline Box CentreDialog(const Box& dialog, const Box* owner, const Box& workArea) {
  const Box& anchor = owner ? *owner : workArea;
  Box out;
  out.left = CentreOnAxis(dialog.Width(), anchor.left, anchor.right, workArea.left, workArea.right);
  out.top = CentreOnAxis(dialog.Height(), anchor.top, anchor.bottom, workArea.top, workArea.bottom);
  out.right = out.left + dialog.Width();
  out.bottom = out.top + dialog.Height();
  return out;
}

}  // namespace velmora
