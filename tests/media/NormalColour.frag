#version 120

varying vec3 surfaceNormal;
varying vec2 worldXZ;

void main()
{
    gl_FragColor = vec4(normalize(surfaceNormal) * 0.5 + 0.5, 1.0);
}
