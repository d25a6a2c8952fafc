#include "recorder/mousepreprocesser.h"

#include <glog/logging.h>

#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>

#include "platform/input.h"

void MousePreProcesser::Process(uint8_t* bgra, int width, int height, MouseContext* context) {
  platform::PointerState pointer;
  if (platform::GetInput().QueryPointer(&pointer) != platform::Result::Ok) {
    LOG(ERROR) << "get cursor icon failed";
    return;
  }
  if (!bgra || width <= 0 || height <= 0 || !context) return;
  // Drawn straight into the frame: the matrix wraps its rows.
  cv::Mat image(height, width, CV_8UC4, bgra);
  // The ring's diameter is the setting's value: with one fractional bit the
  // radius is half of it, also for odd values.
  constexpr int kShift = 1;
  cv::circle(image, cv::Point(context->x << kShift, context->y << kShift), context->haloDiameter,
             cv::Scalar(context->blue, context->green, context->red, 0), 4, cv::LINE_AA, kShift);
}
