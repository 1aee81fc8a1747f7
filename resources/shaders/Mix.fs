#version 330 core
// Linear crossfade: inputImage at crossfade 0.0, input2Image at 1.0, every
// channel (alpha too) blended. At exactly 0.0 or 1.0 the scene compiles
// crossfade in as a constant, so only one picture is sampled: an output
// standing still pays for a plain copy, not for a blend. Either picture may
// be a movie's in its decoder's planes, converted as it is sampled. Each is
// placed through its own map (X_place: output point to stored picture point,
// its turn, proportions and fit folded in); where it leaves the output
// uncovered it gives the bars: transparent with `bars` 0.0, opaque black with
// 1.0.
in vec2 uv;
out vec4 fragColor;

uniform sampler2D inputImage;
uniform sampler2D inputImage_plane1;
uniform sampler2D inputImage_plane2;
uniform sampler2D inputImage_plane3;
uniform vec4 inputImage_rect;
uniform mat4 inputImage_colour;
uniform vec2 inputImage_alpha;
uniform mat3 inputImage_place;
uniform sampler2D input2Image;
uniform sampler2D input2Image_plane1;
uniform sampler2D input2Image_plane2;
uniform sampler2D input2Image_plane3;
uniform vec4 input2Image_rect;
uniform mat4 input2Image_colour;
uniform vec2 input2Image_alpha;
uniform mat3 input2Image_place;
uniform float bars;
#ifdef CONSTANT_crossfade
const float crossfade = CONSTANT_crossfade;
#else
uniform float crossfade;
#endif

#include "Picture.glsl"

vec4 outgoing() {
    return samplePlaced(PICTURE_inputImage, inputImage, inputImage_plane1, inputImage_plane2,
                        inputImage_plane3, inputImage_colour, inputImage_alpha, inputImage_rect,
                        inputImage_place, vec4(0.0, 0.0, 0.0, bars), uv);
}

vec4 incoming() {
    return samplePlaced(PICTURE_input2Image, input2Image, input2Image_plane1,
                        input2Image_plane2, input2Image_plane3, input2Image_colour,
                        input2Image_alpha, input2Image_rect, input2Image_place,
                        vec4(0.0, 0.0, 0.0, bars), uv);
}

void main() {
    if (crossfade <= 0.0) {
        fragColor = outgoing();
    } else if (crossfade >= 1.0) {
        fragColor = incoming();
    } else {
        fragColor = mix(outgoing(), incoming(), crossfade);
    }
}
