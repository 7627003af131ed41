#version 120

// The decal's texture inside its cell, lit and hazed like the ground (Terrain.frag).

uniform sampler2D splat;
uniform vec4 cameraPosition;
uniform vec4 sunDirection;
uniform vec4 sunColour;
uniform vec4 skyAmbient;
uniform vec4 groundAmbient;
uniform vec4 fogColour;
uniform vec4 fogParams; // (density per unit, largest fade in [0, 1], 0, 0)

varying vec3 worldPosition;
varying vec3 worldNormal;
varying vec2 splatCoordinate;

void main()
{
    if (any(lessThan(splatCoordinate, vec2(0.0))) || any(greaterThan(splatCoordinate, vec2(1.0))))
        discard;
    vec4 texel = texture2D(splat, splatCoordinate);
    if (texel.a <= 0.0)
        discard;

    vec3 n = normalize(worldNormal);
    float diffuse = max(dot(n, normalize(sunDirection.xyz)), 0.0);
    vec3 ambient = mix(groundAmbient.rgb, skyAmbient.rgb, n.y * 0.5 + 0.5);
    vec3 colour = texel.rgb * (ambient + sunColour.rgb * diffuse);

    float distance = length(worldPosition - cameraPosition.xyz);
    float fade = min(1.0 - exp(-distance * fogParams.x), fogParams.y);
    gl_FragColor = vec4(mix(colour, fogColour.rgb, fade), texel.a);
}
