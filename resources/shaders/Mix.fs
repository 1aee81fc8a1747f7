#version 330 core
// Linear crossfade: inputImage at crossfade 0.0, input2Image at 1.0, every
// channel (alpha too) blended. At exactly 0.0 or 1.0 the scene compiles
// crossfade in as a constant, so only one picture is sampled: an output
// standing still pays for a plain copy, not for a blend.
in vec2 uv;
out vec4 fragColor;

uniform sampler2D inputImage;
uniform vec4 inputImage_rect;
uniform sampler2D input2Image;
uniform vec4 input2Image_rect;
#ifdef CONSTANT_crossfade
const float crossfade = CONSTANT_crossfade;
#else
uniform float crossfade;
#endif

void main() {
    if (crossfade <= 0.0) {
        fragColor = texture(inputImage, inputImage_rect.xy + uv * inputImage_rect.zw);
    } else if (crossfade >= 1.0) {
        fragColor = texture(input2Image, input2Image_rect.xy + uv * input2Image_rect.zw);
    } else {
        vec4 outgoing = texture(inputImage, inputImage_rect.xy + uv * inputImage_rect.zw);
        vec4 incoming = texture(input2Image, input2Image_rect.xy + uv * input2Image_rect.zw);
        fragColor = mix(outgoing, incoming, crossfade);
    }
}
