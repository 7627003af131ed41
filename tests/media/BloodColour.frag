#version 120

uniform vec4 mapping;
uniform sampler2D bloodTexture;

varying vec3 surfaceNormal;
varying vec2 worldXZ;

void main()
{
    vec2 uv = (worldXZ - mapping.xy) * mapping.zw;
    if (any(lessThan(uv, vec2(0.0))) || any(greaterThan(uv, vec2(1.0))))
        discard;
    gl_FragColor = texture2D(bloodTexture, uv);
}
