#version 330 core
// The part of inputImage between the four edges, stretched over the whole
// output. Edges are fractions of the picture: left 0.0 and right 1.0 are its
// left and right sides, top 0.0 its upper edge and bottom 1.0 its lower edge.
in vec2 uv;
out vec4 fragColor;

uniform sampler2D inputImage;
uniform vec4 inputImage_rect;
uniform float left;
uniform float right;
uniform float top;
uniform float bottom;

void main() {
    vec2 source = vec2(mix(left, right, uv.x), mix(top, bottom, uv.y));
    fragColor = texture(inputImage, inputImage_rect.xy + source * inputImage_rect.zw);
}
