#version 330 core
// The part of inputImage between the four edges, stretched over the whole
// output. Edges are fractions of the picture: left 0.0 and right 1.0 are its
// left and right sides, top 0.0 its upper edge and bottom 1.0 its lower edge.
// The picture may be a movie's in its decoder's planes, converted as it is
// sampled.
in vec2 uv;
out vec4 fragColor;

uniform sampler2D inputImage;
uniform sampler2D inputImage_plane1;
uniform sampler2D inputImage_plane2;
uniform sampler2D inputImage_plane3;
uniform vec4 inputImage_rect;
uniform mat4 inputImage_colour;
uniform vec2 inputImage_alpha;
uniform float left;
uniform float right;
uniform float top;
uniform float bottom;

#include "Picture.glsl"

void main() {
    vec2 source = vec2(mix(left, right, uv.x), mix(top, bottom, uv.y));
    fragColor = samplePicture(PICTURE_inputImage, inputImage, inputImage_plane1, inputImage_plane2,
                              inputImage_plane3, inputImage_colour, inputImage_alpha,
                              inputImage_rect.xy + source * inputImage_rect.zw);
}
